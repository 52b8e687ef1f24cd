#include "support/worked_example.h"

Key example_key() {
  Key key;
  for (std::size_t i = 0; i < key.bytes.size(); ++i) {
    key.bytes[i] = static_cast<unsigned char>(i);
  }
  return key;
}
