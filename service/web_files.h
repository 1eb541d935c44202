// The chat application's files (service/web), built into the service program by
// embed_web.cmake so that the program runs from anywhere.
#pragma once

#include <cstddef>
#include <vector>

namespace kavor::service {

struct WebFile {
  const char* name;  // relative to service/web, "/" separated
  const char* type;  // Content-Type
  const char* data;
  std::size_t size;
};

const std::vector<WebFile>& web_files();

}  // namespace kavor::service
