# Sourced by scripts/run, scripts/test, scripts/bench and scripts/screenshots: installs the
# Debian packages the build needs when any is missing.

# ensure_packages PACKAGE...
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  local install=(apt-get install -y --no-install-recommends "${missing[@]}")
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -q &&
      DEBIAN_FRONTEND=noninteractive "${install[@]}"
  elif command -v sudo >/dev/null 2>&1; then
    sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q &&
      sudo env DEBIAN_FRONTEND=noninteractive "${install[@]}"
  else
    echo "Missing packages. Run as root:"
    echo "  apt-get update && ${install[*]}"
    return 1
  fi
}

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libisofs-dev)
# What brevik runs beside its own hdiutil: mkfs.fat formats FAT12 floppies;
# libqt6svg6 has the SVG icon engine, which draws the window icon.
RUN_PACKAGES=(dosfstools libqt6svg6)
# The desktop files' validators; Xvfb, xdotool, xprop (x11-utils) and isoinfo drive the
# installed program; bsdtar (libarchive-tools), osirrox (xorriso) and isoinfo read the tool's
# images back; mtools reads the FAT12 floppies; Qt's private headers let a test switch
# accessibility on; dbus-daemon has dbus-run-session, which gives the desktop services' test a
# session bus of its own.
TEST_PACKAGES=(libgtest-dev libgmock-dev qt6-base-private-dev imagemagick python3-pil
  desktop-file-utils appstream xvfb xauth xdotool x11-utils genisoimage procps libarchive-tools
  xorriso mtools dbus-daemon)
# What scripts/screenshots needs beside the build: a virtual display and a way to grab it.
SCREENSHOT_PACKAGES=(xvfb xauth xdotool imagemagick)
BENCH_PACKAGES=(libbenchmark-dev xorriso genisoimage)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
