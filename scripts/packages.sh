# The Debian packages the build and the tests need (sourced by the scripts).
BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config libgtest-dev qt6-base-dev)
TEST_PACKAGES=(umockdev libumockdev-dev xvfb xauth)
