// listener: the steps of a TCP listener on every local IPv4 address, as the
// driver daemons open it. Each daemon logs and acts on a failed step in its own
// way (gatex retries the bind, ZR1Communicator ends), so the steps only report.
#pragma once

// A TCP socket with SO_REUSEADDR on: a restarted daemon can bind its port while
// connections of the one before are still open, and a port another program
// listens on still refuses the bind. The socket, or -1 (errno). *reuseOk tells
// whether the option was set; the socket is returned either way.
int listener_socket(bool* reuseOk);

// Binds fd to port on every local IPv4 address. 0, or -1 (errno).
int listener_bind(int fd, int port);
