// Which interface names the stand-in serves, their indexes and their bus directories.
#pragma once

#include <net/if.h>

#include <cstddef>
#include <string>

namespace fakecan {

// True once WENLO_FAKECAN_IFACES names at least one interface; otherwise the library is inert.
bool active();

// True when `name` is a valid interface name matched by the configured names or prefixes.
bool serves(const char* name);

// Stable across processes: derived from the name alone, in a range no real kernel hands out.
unsigned index_of(const char* name);

// The longest namespace directory, with its terminating null.
inline constexpr std::size_t kMaxBase = 192;

// The namespace directory that sockets created now belong to: $WENLO_FAKECAN_DIR, or the
// machine-wide /tmp/wenlo-fakecan. Writes kMaxBase bytes at most; false if it is too long.
bool current_base(char* out);

// Writes the served name whose index is `index` into `out` (IFNAMSIZ bytes); false if none.
// Names used only by other processes are found among the buses of `base` (default: the
// current namespace).
bool name_of(unsigned index, char* out, const char* base = nullptr);

// The directory of namespace `base` that holds one FIFO per bound socket of the interface,
// created on demand. Returns false (errno set) if it cannot be created or the path would be
// too long.
bool interface_dir(const char* base, const char* name, char* out, std::size_t out_size);

// The same path, without creating the directory.
bool interface_path(const char* base, const char* name, char* out, std::size_t out_size);

// The directory that holds sockets not yet bound to an interface.
bool unbound_dir(const char* base, char* out, std::size_t out_size);

}  // namespace fakecan
