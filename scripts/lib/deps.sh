# Debian packages fieldbook needs to build, test and run; sourced by scripts/*.
# clang and its runtime libraries (libFuzzer, the sanitizers) build the fuzz targets.
# The Debian package (scripts/package) and its test: dpkg-dev (dpkg-shlibdeps,
# dpkg-buildflags), file (CPack finds the binaries with it), lintian, and the
# validators of the desktop entry, the man pages and the systemd unit; setpriv
# (util-linux) runs the unpacked program without root's file-permission override.
# locales: localedef builds the decimal-comma locale of the number-format tests.
# xvfb, xauth, x11-utils (xwininfo): the window on a private X server in the tests
# and scripts/screenshots; xdotool drives the window there, netpbm turns the
# server's screen into PNG files.
FIELDBOOK_PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev
  clang libclang-rt-14-dev gpsd
  dpkg-dev file lintian desktop-file-utils man-db systemd util-linux
  locales xvfb xauth x11-utils xdotool netpbm
  libgdal-dev gdal-bin)
# GDAL (libgdal-dev) writes the GIS outputs in src/gis; gdal-bin's ogrinfo and
# ogr2ogr read them back in the tests and the export benchmark.
# gpsd: the end-to-end tests read positions through a private gpsd daemon.
# PostgreSQL 15 with PostGIS 3: the PostGIS tests start a private server; libpq-dev
# carries the office database's writes and lets the tests talk to the server;
# openssl makes the CA and certificates of the TLS test.
FIELDBOOK_PACKAGES+=(postgresql-15-postgis-3 libpq-dev openssl)
# PROJ directly (libproj-dev) for geoid and map grids; proj-data holds the EGM96
# geoid grid and PROJ's database, proj-bin's cs2cs is the tests' reference.
# python3-qgis: QGIS itself opens the GeoPackage with its default styles in a test.
FIELDBOOK_PACKAGES+=(libproj-dev proj-data proj-bin python3-qgis)
# rtklib: its str2str serves a recorded RTCM stream as an NTRIP caster in the
# end-to-end test of the RTK corrections relay.
FIELDBOOK_PACKAGES+=(rtklib)
# libssl-dev: NTRIP over TLS in src/corrections (OpenSSL: libpq already brings
# it onto the machine, and its CLI makes the tests' CA and certificates).
FIELDBOOK_PACKAGES+=(libssl-dev)
# procps: /bin/kill, which the user unit's reload (ExecReload) runs; the package
# test's systemd-analyze verify wants it there.
FIELDBOOK_PACKAGES+=(procps)
# fonts-dejavu-core: the report's font on a machine without a desktop;
# poppler-utils: the report tests read its PDF back (pdftotext) and render its
# map page (pdftoppm).
FIELDBOOK_PACKAGES+=(fonts-dejavu-core poppler-utils)

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
