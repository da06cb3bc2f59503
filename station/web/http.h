// The one place the HTTP library's header is included. On Linux that is
// Debian's libcpp-httplib (declarations here, the code in its shared
// library, built with these macros, which change its classes' layout). The
// Windows build compiles the same release's single header, kept in
// third_party/cpp-httplib, since Debian has no mingw build of it.
#pragma once

#include <httplib.h>
