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
// Signals a thread object as its thread ends and wakes whoever waits for it.
void signal_thread_end(void *thread_header);

void threads_reset();
void threads_check(std::vector<std::string> &out);
void handles_reset();
void handles_check(std::vector<std::string> &out);

void trace_reset();

// "0x" and the pointer as 16 upper-case hex digits, the way problems name objects.
std::string hex_pointer(const void *p);

} // namespace sim::exec
