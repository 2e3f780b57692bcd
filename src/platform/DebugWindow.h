#pragma once

// The Debug Screen "window": a process listening on a per-user Unix-domain socket
// named after the window's class and title. Looking the window up is connecting to it;
// a message carries its number, the sender's process id and a shared-memory section
// (a memfd passed with SCM_RIGHTS), and is answered with an acknowledgement.

#include <cstddef>
#include <cstdint>
#include <string>

namespace quarvel {

namespace platform {

// The socket path that stands for the window with this class name and title.
// Empty when no private folder for it can be had.
std::string DebugWindowPath(const char* className, const char* title);

// Connects to the window. Returns a descriptor, or -1 when no such window is open.
int FindDebugWindow(const char* className, const char* title);

// Sends one message and waits until the window acknowledged it. The section stays
// the caller's to close. Returns false when the window went away.
bool SendDebugWindowMessage(int window, uint32_t message, uint32_t processId, int section);

void CloseDebugWindow(int window);

// An unnamed read-write shared-memory section of `size` bytes, or -1.
int CreateSection(size_t size);

}  // namespace platform

}  // namespace quarvel
