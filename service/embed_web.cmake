# Writes OUTPUT, a C++ source that defines kavor::service::web_files() with the bytes of every
# file named in FILES (a "," separated list relative to SOURCE_DIR). Run at build time, so the files under
# service/web stay plain, editable files.
set(body "")
set(table "")
set(n 0)
string(REPLACE "," ";" FILES "${FILES}")
foreach(name IN LISTS FILES)
  file(READ "${SOURCE_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  get_filename_component(ext "${name}" LAST_EXT)
  set(type "application/octet-stream")
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(ext STREQUAL ".png")
    set(type "image/png")
  endif()
  string(APPEND body "const char file${n}[] = {${bytes} 0};\n")
  string(APPEND table "      {\"${name}\", \"${type}\", file${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from service/web by embed_web.cmake; edit those files instead.
#include \"web_files.h\"

namespace kavor::service {
namespace {
${body}}  // namespace

const std::vector<WebFile>& web_files() {
  static const std::vector<WebFile> files = {
${table}  };
  return files;
}

}  // namespace kavor::service
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
