# What the kernel and edge stages (scripts/test-kernel.sh,
# scripts/test-edge.sh) do alike to make a guest; sourced by them.

# fetch DEBS NAME ARCH: the path of Debian's package NAME:ARCH in the folder
# DEBS, fetched there with apt-get download once; a later run uses the .deb
# already there.
fetch() {
  local debs=$1 name=$2 arch=$3 deb
  deb=$(ls "$debs/${name}"_*_"$arch".deb 2>/dev/null | head -n 1)
  if [ -z "$deb" ]; then
    mkdir -p "$debs"
    # apt warns that its _apt user cannot write here; it still downloads.
    (cd "$debs" && apt-get download -q "$name:$arch" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2) || true
    deb=$(ls "$debs/${name}"_*_"$arch".deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || { echo "$0: apt-get download $name:$arch failed (apt-get update?)" >&2; exit 1; }
  fi
  echo "$deb"
}

# copy_libraries GUEST READELF LIBDIR...: the shared libraries that
# GUEST/usr/bin/teclado needs, and theirs, by soname, copied into
# GUEST/lib from the board's own packages as scripts/armhf-root.sh
# unpacked them into the folders LIBDIR...
copy_libraries() {
  local guest=$1 readelf=$2
  shift 2
  local libdirs=("$@") queue=("$guest/usr/bin/teclado") file lib dir found
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    for lib in $("$readelf" -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      [ -e "$guest/lib/$lib" ] && continue
      found=
      for dir in "${libdirs[@]}"; do
        if [ -e "$dir/$lib" ]; then found=$dir/$lib; break; fi
      done
      [ -n "$found" ] || { echo "$0: $lib, needed by $file, is in none of ${libdirs[*]}" >&2; exit 1; }
      cp -L "$found" "$guest/lib/$lib"
      queue+=("$guest/lib/$lib")
    done
  done
}
