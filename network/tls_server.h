// Server-side TLS (1.2 and 1.3) for the secure listeners of twServer and of the studio's debugger.
//
// The program acquires the credentials once with InitTlsCredentials, before its secure listener
// starts, and frees them with FreeTlsCredentials after its listeners and server threads have
// stopped. A connection accepted by a secure listener carries the socket's TLS flag; its first
// read or write makes its TLS layer (CreateServerTlsLayer), which runs the handshake and then
// decrypts into the socket's input buffer and encrypts what the socket sends. The layer keeps the
// records in memory BIOs and moves them with the socket's own raw receive and send, so the
// socket's time-outs and deadline bound every TLS wait as well. The listener runs a handshake
// without waiting, as far as each arrival of bytes allows (CTcpSocket::ReadArrived); a server
// thread then goes on with the established session.
#pragma once

#include <memory>
#include <string>

#include "network/tcp_socket.h"

// Initialises the TLS library and installs CreateServerTlsLayer as the sockets' TLS layer
// factory: 1, or 0 after logging why not. InitTlsCredentials and every secure listener call it.
[[nodiscard]] int LoadSecurityInterface();

// Loads the certificate of the certificate folder whose subject, issuer and serial text equal the
// given texts (without regard to case), with its chain and private key, as the credentials of
// every later TLS connection. 1, or 0 after logging why not; credentials held before stay in use
// after a failure.
[[nodiscard]] int InitTlsCredentials(const std::string& name, const std::string& issuer, const std::string& serial);

// Drops the credentials and the contexts built from them. Connections that are still open keep
// the ones they started with. Called after the server threads that served secure connections
// have stopped: until a thread stops, it keeps state in the library contexts that go here.
void FreeTlsCredentials();
bool HasTlsCredentials();

// The studio tells people who type http:// for its secure server what to type instead; twServer
// does not. Off until switched on.
void SetTlsPlainRequestHint(bool on);

// Frees the TLS library's state of the calling thread (its random-number generators). A server
// thread calls it as it ends, so nothing of it is left for the exit of the process to race with.
void ReleaseThreadTlsState();

// The TLS session of one accepted connection, on the credentials held at this moment. Without
// credentials its handshake fails.
std::unique_ptr<CSocketLayer> CreateServerTlsLayer();
