// The session file: a running emulator's parameters and live counters,
// shared with other corvo processes and with anyone who maps the file.
//
// The file holds the session layout (pipe/session_layout.hpp) byte for byte.  POSIX
// record locks (lockf) on the open descriptor decide the roles:
//   owner lock        bytes 0 onwards, then 0..519   the owner, until it exits
//   client area lock  bytes 520 onwards              one client at a time
// The first process to lock the file is the owner: it checks its options
// in private memory, then resets the file and runs the emulator, releasing
// the client area when its start-up is done.  Later processes are clients:
// they wait for the client area, check their options on a private copy,
// write the instance not in force of each direction and publish it with
// one 64-bit store of active_instance, or (with -a) store the stop command
// and wait until the owner has ended.
//
// Before a client writes, each producer of the owner must have switched to
// the instance in force (session_tail::instance_ack), so that the spare
// instance is never rewritten while a producer still reads it.
#pragma once

#include <cstdint>

#include "pipe/pipe_state.hpp"

namespace corvo {

enum class session_role : uint8_t { owner, client };

struct session_map {
    pipes::session_layout* layout;
    session_role role;
};

// The open session file, -1 without one.  It stays open for the life of the
// process: the record locks belong to it.
extern int session_fd;

// Milliseconds a client waits for the owner's producers to take the last
// published instance before it gives up.
inline constexpr int ack_wait_ms = 2000;

// Opens, locks and maps the session file at path and decides the role; with
// a null path the layout is private memory and the process is the owner.
// The path is opened without following a symbolic link, and refused when
// it is not a regular file of this process's user, empty or holding a
// session.  The owner gets a fresh layout with version 1 in private memory:
// the file is untouched until ec_commit, so that options refused before
// then leave it as it was.  A client waits for the client area, maps the
// file and checks the version.  Ends the process (status 1) on any
// failure, after logging it.
session_map ec_map_or_exit(const char* path);

// Client, once ec_wait_ack has passed: puts a private copy of the file in
// place of its mapping, at the same address, so that the options are
// applied and checked without writing into the file.  True without a file
// or for the owner; false (logged) on failure.
[[nodiscard]] bool ec_stage();

// Writes what the process prepared and maps the file in place of its
// private layout (same address, so pointers into the layout stay valid).
// The owner writes the whole layout; a staged client only the instance of
// each direction that is not in force and the limits the file still has
// at 0.  True when there is nothing to write; false (logged) on failure.
[[nodiscard]] bool ec_commit();

// The instance a client writes for a direction: the one not in force.
uint32_t spare_instance(const pipes::session_area& area) noexcept;

// Client, before it writes anything: waits up to timeout_ms until both
// directions' producers have acknowledged the instance in force.  False
// (logged) when they have not; the client must then publish nothing.
[[nodiscard]] bool ec_wait_ack(const pipes::session_layout& layout, int timeout_ms = ack_wait_ms);

// Client's last step: for A, then B, when the direction's active_instance
// differs from its cur_instance, a full barrier and one 64-bit store of
// cur_instance.  Both records must be attached (session_attach).
void ec_publish(pipes::pipe_state& a, pipes::pipe_state& b) noexcept;

// Stop command (-a): stores the stop value into active_instance of A, then
// B, and logs "exiting due to -a".  Without a running owner a session left
// in the file keeps its counters; an empty file gets a whole layout.  Returns the exit status: 0 for an
// owner, ec_wait_owner() for a client.
[[nodiscard]] int ec_stop(const session_map& map);

// Waits until no other process holds any lock of the session file, which
// means the owner has ended; says which process it waits for.  0 on success or without a file, 1 (logged) on
// failure.
[[nodiscard]] int ec_wait_owner();

// Owner, when its start-up is done: commits the layout (ec_commit) if that
// is not done yet and lets clients into the client area.  Nothing without
// a file.  False (logged) on failure; the owner then ends
// with status 1.
[[nodiscard]] bool ec_release_client_area();

// Producer, after it has switched p to the instance p.cur_instance: tells
// clients that the other instance is free.  Nothing unless p belongs to the
// layout of this process's session file.
void session_ack(const pipes::pipe_state& p) noexcept;

}  // namespace corvo
