// Ignore rules in the format of git's ignore files (".gitignore", ".ignore", info/exclude).
//
// One file's rules apply to the paths below the folder holding the file. Line syntax:
//   blank lines and lines starting with "#" are skipped; "\#" starts a pattern with "#";
//   trailing spaces are dropped unless escaped with a backslash; a leading "!" re-includes what
//   an earlier rule excluded ("\!" for a literal "!"); a trailing "/" restricts the rule to
//   folders; a "/" at the start or in the middle anchors the pattern to the file's folder,
//   otherwise it matches the name at any depth; `*`, `?`, `[...]`, `**` and backslash escapes
//   as in git's wildmatch.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "walk/wildmatch.h"

namespace kavor::walk {

enum class IgnoreVerdict {
  NoOpinion,  // no rule matched
  Ignored,    // the last matching rule excludes the path
  Included,   // the last matching rule is a "!" rule
};

// The rules of one ignore file.
class IgnoreRules {
 public:
  // Parses the whole content of an ignore file (LF or CRLF lines, optional UTF-8 byte order mark).
  static IgnoreRules parse(std::string_view content);
  // The same, or nothing when the content holds more than `max_rules` rules; those are counted
  // before anything is built, so a hostile file costs no more than its reading.
  static std::optional<IgnoreRules> parse_at_most(std::string_view content, std::size_t max_rules);

  bool empty() const { return rules_.empty(); }
  std::size_t size() const { return rules_.size(); }

  // `path` is relative to the file's folder, "/"-separated, without a leading "/".
  IgnoreVerdict match(std::string_view path, bool is_dir) const;
  // The same with the last component of `path` already split off.
  IgnoreVerdict match(std::string_view path, std::string_view name, bool is_dir) const;

 private:
  struct Rule {
    detail::Wildmatch pattern;
    bool negated = false;
    bool dir_only = false;
    bool name_only = false;  // no "/" in the pattern: matched against the last component
  };
  std::vector<Rule> rules_;
};

// The ignore files in force at some point of a walk, from the walk's base folder downwards.
// Files pushed later (deeper folders, or later names in the same folder) take precedence: the
// topmost file with a matching rule decides, and within a file the last matching rule does.
class IgnoreStack {
 public:
  // `folder` is the file's folder relative to the stack's base folder ("" for the base itself,
  // "a/b" otherwise, no trailing "/").
  void push(std::string folder, std::shared_ptr<const IgnoreRules> rules);
  void truncate(std::size_t size);
  std::size_t size() const { return layers_.size(); }
  bool empty() const { return layers_.empty(); }
  // The rules of all layers together.
  std::size_t rule_count() const { return rule_count_; }

  // `path` is relative to the stack's base folder. Layers whose folder does not contain the path
  // have no say.
  IgnoreVerdict check(std::string_view path, bool is_dir) const;
  // The same with the last component of `path` already split off.
  IgnoreVerdict check(std::string_view path, std::string_view name, bool is_dir) const;
  bool ignored(std::string_view path, bool is_dir) const {
    return check(path, is_dir) == IgnoreVerdict::Ignored;
  }

 private:
  struct Layer {
    std::string folder;
    std::shared_ptr<const IgnoreRules> rules;
  };
  std::vector<Layer> layers_;
  std::size_t rule_count_ = 0;
};

}  // namespace kavor::walk
