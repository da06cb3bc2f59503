# The Debian packages the build and the tests need (sourced by the scripts).
BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config libgtest-dev qt6-base-dev ccache libcpp-httplib-dev
  nlohmann-json3-dev nettle-dev)
# systemd brings systemd-analyze for the unit's checks (not as init: the
# package systemd-sysv makes it the init, and is not asked for).
# clang-format-14 checks the sources' format.
TEST_PACKAGES=(clang-format-14 umockdev libumockdev-dev xvfb xauth lintian python3 prometheus chromium systemd logrotate)
# The Windows build and its tests under Wine (wine32 needs: dpkg --add-architecture i386;
# the window test takes screenshots with ImageMagick; wixl makes the MSIs and
# msitools' msiinfo reads them back; unzip reads the ZIPs).
WINDOWS_PACKAGES=(mingw-w64 wine wine64 wine32:i386 xvfb xdotool imagemagick wixl msitools unzip)
