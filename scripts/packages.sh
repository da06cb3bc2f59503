# The Debian packages the build and the tests need (sourced by the scripts).
BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config libgtest-dev qt6-base-dev ccache nettle-dev)
TEST_PACKAGES=(umockdev libumockdev-dev xvfb xauth lintian)
# The Windows build and its tests under Wine (wine32 needs: dpkg --add-architecture i386;
# the window test takes screenshots with ImageMagick).
WINDOWS_PACKAGES=(mingw-w64 wine wine64 wine32:i386 xvfb xdotool imagemagick)
