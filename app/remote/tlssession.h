// One TLS connection of the Modbus server, over its accepted non-blocking
// socket: the handshake taken a step at a time as poll() says the socket is
// ready, then reads and writes that never wait, and the peer's certificate
// subject and role once the handshake is done. Used by the server's thread
// alone.
#ifndef APP_REMOTE_TLSSESSION_H
#define APP_REMOTE_TLSSESSION_H

#include "app/remote/tlscontext.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>

struct ssl_st;

namespace app::remote {

class TlsSession {
public:
    enum class Progress : std::uint8_t { Done, WantsRead, WantsWrite, Failed };

    // Server side of fd, which stays the caller's to close. Throws TlsError
    // when OpenSSL cannot make the session.
    TlsSession(const TlsContext& context, int fd);
    // Says close_notify where the session is open, without waiting.
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // As far as the bytes that have come allow; Failed sends the alert the
    // peer has earned (no certificate, one from another CA, an old version).
    Progress handshake();
    // Why the handshake failed, in one line.
    const std::string& failure() const { return failure_; }

    // Bytes read into into, 0 when none have come, nothing when the
    // connection is over (closed, reset or broken).
    std::optional<std::size_t> read(std::span<std::uint8_t> into);
    // Each piece a TLS record of its own, all of them in one send(); whole
    // and at once, or false.
    bool write(std::initializer_list<std::span<const std::uint8_t>> records);
    // Bytes that have come and were not read yet: poll() cannot see them.
    bool pending() const;

    // Once the handshake is done.
    std::string peerSubject() const;
    // The role extension's UTF8String; nothing where the certificate has no
    // role, or one that is not a single UTF8String.
    std::optional<std::string> peerRole() const;
    // "TLSv1.3 TLS_AES_128_GCM_SHA256"
    std::string protocol() const;

    // The socket as TLS reads and writes it (tlssession.cpp).
    struct Socket;

private:
    std::unique_ptr<Socket> socket_;
    ssl_st* ssl_;
    bool broken_ = false;  // a fatal error: no close_notify may follow
    std::string failure_;
};

}  // namespace app::remote

#endif  // APP_REMOTE_TLSSESSION_H
