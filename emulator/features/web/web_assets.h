// The page's own files (web/), built into the program by cmake/EmbedWeb.cmake.
#pragma once

#include <cstddef>
#include <string>

struct web_asset {
    const char *path;  // "/index.html"
    const char *type;  // its Content-Type
    const unsigned char *data;
    size_t size;
};

// The file served at `path`, or null: nothing but these files is served.
const web_asset *web_asset_find(const std::string &path);
