// The executive's areas (pool, dispatcher, threads and handles, debug trace)
// as seen by sim::reset() and sim::problems(): each forgets its state on
// reset and lists what it found wrong on check. Private to the executive.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel.h"

namespace sim::exec {

void pool_reset();
void pool_check(std::vector<std::string> &out);

void dispatcher_reset();
// Scheduled threads (system threads and work items), as virtual time counts
// them: the creator counts the new thread before it starts, the thread marks
// itself at its start, and its end uncounts it.
void scheduled_thread_created();
void scheduled_thread_begins();
void scheduled_thread_ends();
// Signals a system thread's object as the thread ends, wakes whoever waits
// for it and uncounts the thread (scheduled_thread_ends included).
void signal_thread_end(void *thread_header);

void threads_reset();
void threads_check(std::vector<std::string> &out);
void handles_reset();
void handles_check(std::vector<std::string> &out);

void trace_reset();

// "0x" and the pointer as 16 upper-case hex digits, the way problems name objects.
std::string hex_pointer(const void *p);

} // namespace sim::exec
