# Writes OUT, a C++ source holding every file of the folder DIR as a byte array with its path
# and content type, and web_asset_find() over them: the panel's page is built into the program,
# so that it works wherever the program runs, with nothing to install beside it.
# Usage: cmake -DDIR=<web folder> -DOUT=<file.cpp> -P EmbedWeb.cmake
file(GLOB files RELATIVE ${DIR} ${DIR}/*)
list(SORT files)
set(arrays "")
set(table "")
set(n 0)
foreach(name ${files})
  if(IS_DIRECTORY ${DIR}/${name})
    continue()
  endif()
  get_filename_component(ext ${name} LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js" OR ext STREQUAL ".mjs")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".json")
    set(type "application/json")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(ext STREQUAL ".png")
    set(type "image/png")
  else()
    continue()
  endif()
  file(READ ${DIR}/${name} hex HEX)
  string(LENGTH "${hex}" len)
  math(EXPR size "${len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "static const unsigned char file${n}[] = {${bytes}0};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", file${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUT} "// Generated from web/ by cmake/EmbedWeb.cmake: do not edit.
#include \"web_assets.h\"

${arrays}
static const web_asset ASSETS[] = {
${table}};

const web_asset *web_asset_find(const std::string &path) {
    for (const web_asset &a : ASSETS)
        if (path == a.path) return &a;
    return nullptr;
}
")
