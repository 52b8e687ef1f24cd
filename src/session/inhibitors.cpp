#include "session/inhibitors.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

// logind answers in microseconds; a daemon that waited longer would leave its clients
// without their RUNNING.
constexpr std::uint64_t kCallTimeoutUs = 500'000;

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};

// True when the colon-separated list what names the lock kind.
bool names(std::string_view what, std::string_view kind) {
  while (!what.empty()) {
    const std::size_t colon = what.find(':');
    if (what.substr(0, colon) == kind) {
      return true;
    }
    what.remove_prefix(colon == std::string_view::npos ? what.size() : colon + 1);
  }
  return false;
}

// logind's inhibitors, read from its ListInhibitors answer (an array of what, who, why, mode,
// uid, pid); empty when it could not be asked.
std::vector<InhibitorEntry> list_inhibitors() {
  sd_bus* opened = nullptr;
  if (sd_bus_open_system(&opened) < 0) {
    return {};
  }
  const std::unique_ptr<sd_bus, BusClose> bus(opened);
  sd_bus_set_method_call_timeout(bus.get(), kCallTimeoutUs);
  sd_bus_message* answered = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int called =
      sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                         "org.freedesktop.login1.Manager", "ListInhibitors", &error, &answered, "");
  sd_bus_error_free(&error);
  const std::unique_ptr<sd_bus_message, MessageUnref> answer(answered);
  std::vector<InhibitorEntry> entries;
  if (called < 0 || sd_bus_message_enter_container(answer.get(), 'a', "(ssssuu)") < 0) {
    return entries;
  }
  const char* what = nullptr;
  const char* who = nullptr;
  const char* why = nullptr;
  const char* mode = nullptr;
  std::uint32_t uid = 0;
  std::uint32_t pid = 0;
  while (sd_bus_message_read(answer.get(), "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
    entries.push_back({what, who, why, mode});
  }
  return entries;
}

}  // namespace

std::string printable(std::string_view text, std::size_t most) {
  std::string kept(text.substr(0, most));
  std::replace_if(
      kept.begin(), kept.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
  return kept;
}

std::optional<Inhibitor> blocking_sleep(std::span<const InhibitorEntry> entries) {
  for (const InhibitorEntry& entry : entries) {
    if (entry.mode == "block" && names(entry.what, "sleep")) {
      return Inhibitor{printable(entry.who, kMostInhibitorWho),
                       printable(entry.why, kMostInhibitorWhy)};
    }
  }
  return std::nullopt;
}

std::optional<Inhibitor> sleep_inhibitor() { return blocking_sleep(list_inhibitors()); }
