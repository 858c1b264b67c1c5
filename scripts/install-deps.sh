#!/usr/bin/env bash
# Installs the Debian packages this project needs, and only those missing:
# the one list, for the builds, the tests, the fuzzer and the bench. Safe to
# run again: with everything present it changes nothing. Also fetches and
# unpacks the source packages the Windows build compiles.
set -euo pipefail

packages=(
  cmake ninja-build g++ make python3 zlib1g-dev googletest    # the native build and its tests
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev             # the Windows build
  libz-mingw-w64-dev wine wine64                              # its zlib, and Wine to test it
  clang libclang-rt-dev                                       # sanitizers and the fuzzer
  zip unzip libarchive-tools 7zip                             # other ZIP tools, for comparison
  libdeflate-dev dpkg-dev                                     # libdeflate; unpacking its source
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

# ---------------------------------------------------------------------------
# libdeflate's source, for the Windows build.
#
# Debian has no MinGW build of libdeflate, so the Windows build compiles
# Debian's source package (cmake/Libdeflate.cmake). It is fetched with apt
# through a configuration of our own under build/deps/apt: deb-src entries
# made from the machine's Debian sources, with lists and a cache of their own,
# so the system's apt state stays as it is. Unpacked into
# build/deps/libdeflate-VERSION; skipped once that is there.
deps_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/deps"

# Prints a deb-src stanza for every deb entry of this Debian release in the
# apt source files given, one-line (.list) and deb822 (.sources) alike; other
# vendors' entries are left out by their suites.
debian_source_entries() {
  local codename
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  local files=()
  for file in "$@"; do
    [ -f "$file" ] && files+=("$file")
  done
  [ ${#files[@]} -gt 0 ] || return 0
  awk -v codename="$codename" '
    function ours(suite) {
      return codename == "" || suite == codename || index(suite, codename "-") == 1
    }
    function emit(types, uris, suites, components, signed,    n, list, i, kept) {
      if (enabled == "no" || (" " types " ") !~ / deb /) return
      n = split(suites, list, " ")
      kept = ""
      for (i = 1; i <= n; i++) if (ours(list[i])) kept = kept " " list[i]
      if (kept == "" || uris == "") return
      print "Types: deb-src"
      print "URIs: " uris
      print "Suites:" kept
      print "Components: " components
      if (signed != "") print "Signed-By: " signed
      print ""
    }
    function flush() {
      if ("types" in f) emit(f["types"], f["uris"], f["suites"], f["components"],
                                        f["signed-by"])
      delete f
      enabled = ""
      field = ""
    }
    FNR == 1 { flush() }
    FILENAME ~ /\.sources$/ {
      if ($0 ~ /^[ \t]*#/) next
      if ($0 ~ /^[ \t]*$/) { flush(); next }
      if ($0 ~ /^[ \t]/) {  # a continuation line, as of an inline key
        if (field != "") f[field] = f[field] "\n" $0
        next
      }
      field = tolower(substr($0, 1, index($0, ":") - 1))
      value = substr($0, index($0, ":") + 1)
      gsub(/^[ \t]+|[ \t]+$/, "", value)
      if (field == "enabled") enabled = tolower(value)
      f[field] = value
      next
    }
    {  # one-line format: deb [options] URI SUITE COMPONENT...
      sub(/#.*/, "")
      if ($1 != "deb") next
      line = $0
      gsub(/^[ \t]+|[ \t]+$/, "", line)
      signed = ""
      if (match(line, /\[[^]]*\]/)) {
        options = substr(line, RSTART + 1, RLENGTH - 2)
        line = substr(line, 1, RSTART - 1) substr(line, RSTART + RLENGTH)
        if (match(options, /signed-by=[^ \t]+/)) signed = substr(options, RSTART + 10, RLENGTH - 10)
      }
      n = split(line, word, /[ \t]+/)
      components = ""
      for (i = 4; i <= n; i++) components = components (i > 4 ? " " : "") word[i]
      enabled = ""
      emit("deb", word[2], word[3], components, signed)
    }
    END { flush() }
  ' "${files[@]}"
}

fetch_libdeflate_source() {
  local apt_dir="$deps_dir/apt"
  local download_dir="$deps_dir/download"
  local log="$deps_dir/libdeflate-source.log"
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" \
           "$download_dir"
  debian_source_entries /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources > "$apt_dir/sources/debian-src.sources"
  if [ ! -s "$apt_dir/sources/debian-src.sources" ]; then
    echo "install-deps: no Debian entries in the apt sources to fetch libdeflate's source from" >&2
    return 1
  fi
  local apt_options=(-o Dir::Etc::SourceList=/dev/null
                     -o Dir::Etc::SourceParts="$apt_dir/sources"
                     -o Dir::State::Lists="$apt_dir/lists"
                     -o Dir::Cache="$apt_dir/cache")
  if [ "$(id -u)" -eq 0 ]; then
    # apt downloads as the user _apt, who may not enter a clone that only its
    # owner can; as root there is nobody to drop privileges to that could.
    apt_options+=(-o APT::Sandbox::User=root)
  fi
  echo "Fetching libdeflate's Debian source package into $deps_dir"
  if ! { apt-get "${apt_options[@]}" update &&
         (cd "$download_dir" && rm -f libdeflate_* &&
          apt-get "${apt_options[@]}" source --download-only libdeflate); } > "$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
  local dsc
  dsc="$(ls "$download_dir"/libdeflate_*.dsc)"
  local version
  version="$(sed -n 's/^Version: *//p' "$dsc")"
  version="${version#*:}"
  version="${version%-*}"
  local unpacking="$deps_dir/libdeflate-$version.unpacking"
  rm -rf "$unpacking"
  # apt checked the files against the signed archive's index; dpkg-source
  # warns that it cannot check the uploader's signature, which is expected.
  if ! dpkg-source --no-copy -x "$dsc" "$unpacking" >> "$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
  # Renamed only when complete, so that an interrupted run is not taken for a
  # finished one.
  mv "$unpacking" "$deps_dir/libdeflate-$version"
}

if ! compgen -G "$deps_dir/libdeflate-*/lib/deflate_decompress.c" > /dev/null; then
  fetch_libdeflate_source
fi
