// A command line built from strings, for the functions that take argc and argv as main()
// does (option parsers, posix_spawn). Header-only, so that any test, fuzzer or tool can use it.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace lmrtest {

/// The words, argv[0] first, as argc and a null-terminated argv. It owns copies of the words,
/// so a parser that reorders argv's pointers changes nothing outside it.
class Argv {
 public:
  explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
    pointers_.reserve(words_.size() + 1);
    for (std::string& word : words_) {
      pointers_.push_back(word.data());
    }
    pointers_.push_back(nullptr);
  }
  // The pointers point into this object's own strings.
  Argv(const Argv&) = delete;
  Argv& operator=(const Argv&) = delete;

  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

}  // namespace lmrtest
