// The server's receive loop: wait on every listening socket, receive one
// datagram per ready socket, reload the configuration, judge the datagrams,
// time silent accounts out; until SIGTERM. SIGHUP reloads the configuration.
#pragma once

#include "common/process/array.h"
#include "server/server_config.h"

#include <csignal>

// Blocks SIGTERM and SIGHUP and installs the server's handlers, which only
// set the loop's stop_requested or reload_requested flag (empty mask, no
// SA_RESTART). From then on both are delivered only inside the loop's wait,
// which unblocks them with *wait_mask (the mask in force before, less the
// two).
void server_signals_install(sigset_t *wait_mask);

// Receives at most one datagram from every socket of pollfds that poll()
// reported readable, in array order, appending one recv_slot to slots per
// datagram. A socket in an error state is logged and not read. A failed
// receive is logged and leaves no slot; when no slot can be appended the
// datagram stays queued for the next pass. Never blocks.
void server_receive(const array *pollfds, array *slots);

// Runs passes until stop_requested is set or the wait fails, keeping the
// state file (when the configuration names one) written within a few
// seconds of every change and once more at the stop. A SIGHUP cuts the wait
// short and makes the pass reload the configuration whatever its
// modification time. slots is an array of recv_slot whose storage is kept
// from pass to pass.
void server_loop_run(server_config *cfg, array *slots, const sigset_t *wait_mask);
