// The change watch: a socket on which the system tells of addresses added
// to or removed from its interfaces, so that the client can announce a new
// address at once instead of at its next interval.
#pragma once

// Opens the socket, non-blocking. Its descriptor, or -1 with errno set
// (ENOSYS where the system has no such socket); logs nothing.
int addr_watch_open();
// Reads every notice waiting on fd. 1 when one of them tells of an address
// added or removed, or notices were lost; 0 when none did; -1 with errno
// when the socket failed, and the watch is then over.
int addr_watch_read(int fd);
