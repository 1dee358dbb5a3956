#ifndef QOR_INFODRIVER_INFO_SOCKET_H_
#define QOR_INFODRIVER_INFO_SOCKET_H_

#include <string>

#include "infodriver/infodriver_protocol.h"

// Message I/O on a non-blocking SOCK_SEQPACKET Unix socket, shared by the
// link, the infodriver and infoctl. Sends never raise SIGPIPE.

// How long a connect waits for room in the infodriver's listen backlog. An
// infodriver that serves takes its connections at once; a backlog that stays
// full that long belongs to one that is stuck, which is no infodriver.
constexpr int kInfoConnectTimeoutMs = 2000;

// Connects to the socket at |path|, waiting at most |timeoutMs| for room in
// the listener's backlog. Returns the fd (non-blocking, close-on-exec) or -1
// with the reason in *error (an errno value; ENAMETOOLONG when the path does
// not fit a socket address, EAGAIN when the backlog stayed full).
int ConnectInfoSocket(const std::string& path, int* error,
                      int timeoutMs = kInfoConnectTimeoutMs);

// The user id of the process at the other end of a connected socket, or -1.
long InfoPeerUid(int fd);

// Sends one message, waiting at most |timeoutMs| for room. False when the
// message is malformed, the peer is gone, or it did not take the message in
// time.
bool SendInfoMessage(int fd, const InfoMessage& m, int timeoutMs);

enum class InfoReceive {
  kMessage,    // *m holds one message
  kNothing,    // nothing within the wait
  kClosed,     // end of stream or a socket error
  kMalformed,  // one message was read and refused (short, long, NUL in text)
};
// Reads one message, waiting at most |timeoutMs| (0: do not wait, -1: no
// limit).
InfoReceive ReceiveInfoMessage(int fd, InfoMessage* m, int timeoutMs);

#endif  // QOR_INFODRIVER_INFO_SOCKET_H_
