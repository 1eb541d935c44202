// Cuts a conversation list ("[{...}, {...}]") into the texts of its top-level objects while the
// list streams by, so that no more than one object's worth of state is ever needed.
//
// The rules, in the order they apply:
//   1. Everything before the first "[" is skipped.
//   2. Between objects, every byte is skipped except "{", which starts an object, and "]",
//      which ends the list; whatever follows the list is ignored.
//   3. Inside an object every byte belongs to it. A quote toggles "inside a string"; inside a
//      string a backslash escapes the next byte. Outside strings "{" and "[" open a level and
//      "}" and "]" close one; the object ends with the byte that closes its last level.
// So a "}" inside a string value never ends an object. The cut is purely lexical: whether an
// object text is JSON is for the caller to find out.
#pragma once

#include <cstdint>
#include <string_view>

namespace kavor::importer {

class ConversationSplitter {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual void object_start() = 0;
    // The next bytes of the current object, in order; the first piece starts with "{".
    virtual void object_bytes(std::string_view bytes) = 0;
    // The object's last byte has been handed over.
    virtual void object_end() = 0;
  };

  enum class Place : std::uint8_t { BeforeList, BetweenObjects, InObject, AfterList };

  void feed(std::string_view piece, Sink& sink);

  // Where the text stopped: a whole list ends AfterList; BeforeList means no "[" was seen.
  Place place() const { return place_; }

 private:
  Place place_ = Place::BeforeList;
  std::uint64_t depth_ = 0;
  bool in_string_ = false;
  bool escaped_ = false;
};

}  // namespace kavor::importer
