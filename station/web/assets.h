// The page's files, built into the program from station/web/assets/ (the
// build writes assets.cpp from them), so that the page works from the
// station alone, with no outside scripts, fonts or CDNs. Not here: serving.
#pragma once

#include <string_view>

namespace station::web {

struct Asset {
    std::string_view name;  // "index.html", "app.js", "style.css", "login.html"
    std::string_view type;  // the Content-Type
    std::string_view body;
};

// Empty body when there is no such file.
Asset FindAsset(std::string_view name);

}  // namespace station::web
