#include "client/schedule.h"

#include <algorithm>
#include <cstdint>

std::size_t hosts_at_once(rlim_t limit) {
  // Linux keeps RLIMIT_NOFILE at or below fs.nr_open, but an unlimited value must not wrap.
  if (limit == RLIM_INFINITY || limit > static_cast<rlim_t>(SIZE_MAX)) {
    return SIZE_MAX;
  }
  const auto descriptors = static_cast<std::size_t>(limit);
  return descriptors > kKeptDescriptors ? descriptors - kKeptDescriptors : 1;
}

Schedule::Schedule(std::size_t most) : most_(std::max<std::size_t>(most, 1)) {}

void Schedule::add(std::size_t host) { queue_.push_back(host); }

std::optional<std::size_t> Schedule::next() {
  if (asking_ >= most_ || !waiting()) {
    return std::nullopt;
  }
  ++asking_;
  return queue_[head_++];
}

void Schedule::finished() {
  if (asking_ > 0) {
    --asking_;
  }
}

bool Schedule::cannot_open() {
  --asking_;
  if (asking_ == 0) {
    return false;
  }
  // The limit counted more descriptors free than there are (the C library or the caller
  // holds some): ask no more at once than those that did get a socket.
  most_ = asking_;
  --head_;
  return true;
}
