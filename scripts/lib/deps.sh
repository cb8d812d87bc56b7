# Debian packages fieldbook needs to build, test and run; sourced by scripts/*.
# clang and its runtime libraries (libFuzzer, the sanitizers) build the fuzz targets.
# GDAL (libgdal-dev) writes the GIS outputs in src/gis; gdal-bin's ogrinfo and
# ogr2ogr read them back in the tests and the export benchmark.
FIELDBOOK_PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev
  clang libclang-rt-14-dev libgdal-dev gdal-bin)
# PostgreSQL 15 with PostGIS 3: the PostGIS tests start a private server; libpq-dev
# lets them talk to it.
FIELDBOOK_PACKAGES+=(postgresql-15-postgis-3 libpq-dev)

install_missing_packages() {
  local missing=() p
  for p in "${FIELDBOOK_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}
