#include "importer/conversation_splitter.h"

#include <cstring>

namespace kavor::importer {

void ConversationSplitter::feed(std::string_view piece, Sink& sink) {
  const char* p = piece.data();
  const char* const end = p + piece.size();
  while (p < end) {
    switch (place_) {
      case Place::BeforeList: {
        const void* open = std::memchr(p, '[', static_cast<std::size_t>(end - p));
        if (open == nullptr) return;
        p = static_cast<const char*>(open) + 1;
        place_ = Place::BetweenObjects;
        break;
      }
      case Place::BetweenObjects:
        while (p < end && *p != '{' && *p != ']') ++p;
        if (p == end) return;
        if (*p == ']') {
          place_ = Place::AfterList;
          return;
        }
        place_ = Place::InObject;
        depth_ = 0;
        in_string_ = false;
        escaped_ = false;
        sink.object_start();
        [[fallthrough]];
      case Place::InObject: {
        const char* start = p;
        for (; p < end; ++p) {
          const char c = *p;
          if (in_string_) {
            if (escaped_) {
              escaped_ = false;
            } else if (c == '\\') {
              escaped_ = true;
            } else if (c == '"') {
              in_string_ = false;
            }
            continue;
          }
          if (c == '"') {
            in_string_ = true;
          } else if (c == '{' || c == '[') {
            ++depth_;
          } else if ((c == '}' || c == ']') && --depth_ == 0) {
            ++p;
            sink.object_bytes(std::string_view(start, static_cast<std::size_t>(p - start)));
            sink.object_end();
            place_ = Place::BetweenObjects;
            start = nullptr;
            break;
          }
        }
        if (start != nullptr) {
          sink.object_bytes(std::string_view(start, static_cast<std::size_t>(p - start)));
        }
        break;
      }
      case Place::AfterList:
        return;
    }
  }
}

}  // namespace kavor::importer
