// A TLS connection over a non-blocking socket, with OpenSSL 3. The socket is
// read and written through a BIO of our own: OpenSSL's socket BIO writes with
// write(2), which raises SIGPIPE on a connection the peer has reset, and a
// SIGPIPE would end the program; the server's plain sends use MSG_NOSIGNAL,
// and so does this. It can also hold what TLS writes, so that several records
// leave in one send().
#include "app/remote/tlssession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace app::remote {

struct TlsSession::Socket {
    int fd;
    bool holding = false;
    std::vector<std::uint8_t> held;
};

namespace {

TlsSession::Socket& socketOf(BIO* bio)
{
    return *static_cast<TlsSession::Socket*>(BIO_get_data(bio));
}

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

int bioWrite(BIO* bio, const char* data, int size)
{
    BIO_clear_retry_flags(bio);
    TlsSession::Socket& socket = socketOf(bio);
    if (socket.holding) {
        socket.held.insert(socket.held.end(), data, data + size);
        return size;
    }
    const ssize_t sent = ::send(socket.fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && wouldBlock(errno))
        BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int bioRead(BIO* bio, char* data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(socketOf(bio).fd, data, static_cast<std::size_t>(size), MSG_DONTWAIT);
    if (got < 0 && wouldBlock(errno))
        BIO_set_retry_read(bio);
    return static_cast<int>(got);
}

long bioControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;  // nothing is buffered here
}

const BIO_METHOD* socketMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                        "frequency-converter socket");
        BIO_meth_set_write(made, bioWrite);
        BIO_meth_set_read(made, bioRead);
        BIO_meth_set_ctrl(made, bioControl);
        BIO_meth_set_create(made, [](BIO* bio) {
            BIO_set_init(bio, 1);
            return 1;
        });
        return made;
    }();
    return method;
}

}  // namespace

TlsSession::TlsSession(const TlsContext& context, int fd)
    : socket_(std::make_unique<Socket>(Socket{fd, false, {}})), ssl_(SSL_new(context.context()))
{
    BIO* bio = ssl_ ? BIO_new(socketMethod()) : nullptr;
    if (!bio) {
        SSL_free(ssl_);
        throw TlsError("OpenSSL could not make a TLS session: " + openSslReasons());
    }
    BIO_set_data(bio, socket_.get());
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_accept_state(ssl_);
}

TlsSession::~TlsSession()
{
    ERR_clear_error();
    if (!broken_ && SSL_is_init_finished(ssl_))
        SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ERR_clear_error();
}

TlsSession::Progress TlsSession::handshake()
{
    ERR_clear_error();
    const int done = SSL_do_handshake(ssl_);
    if (done == 1)
        return Progress::Done;
    const int error = SSL_get_error(ssl_, done);
    if (error == SSL_ERROR_WANT_READ)
        return Progress::WantsRead;
    if (error == SSL_ERROR_WANT_WRITE)
        return Progress::WantsWrite;
    broken_ = true;
    if (error == SSL_ERROR_SSL) {
        failure_ = openSslReasons();
        const long verified = SSL_get_verify_result(ssl_);
        if (verified != X509_V_OK)
            failure_ += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
    } else {
        failure_ = "the client closed the connection";
    }
    return Progress::Failed;
}

std::optional<std::size_t> TlsSession::read(std::span<std::uint8_t> into)
{
    ERR_clear_error();
    const int got = SSL_read(ssl_, into.data(), static_cast<int>(into.size()));
    if (got > 0)
        return static_cast<std::size_t>(got);
    const int error = SSL_get_error(ssl_, got);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE)
        return 0;
    broken_ = error != SSL_ERROR_ZERO_RETURN;
    ERR_clear_error();
    return std::nullopt;
}

bool TlsSession::write(std::initializer_list<std::span<const std::uint8_t>> records)
{
    ERR_clear_error();
    socket_->holding = true;
    bool written = true;
    for (const std::span<const std::uint8_t> record : records)
        written = written && (record.empty() || SSL_write(ssl_, record.data(), static_cast<int>(record.size())) ==
                                                    static_cast<int>(record.size()));
    socket_->holding = false;
    const std::vector<std::uint8_t> held = std::exchange(socket_->held, {});
    if (written && ::send(socket_->fd, held.data(), held.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
                       static_cast<ssize_t>(held.size()))
        return true;
    broken_ = true;  // a record half sent: nothing more can follow it
    ERR_clear_error();
    return false;
}

bool TlsSession::pending() const
{
    return SSL_has_pending(ssl_) == 1;
}

std::string TlsSession::peerSubject() const
{
    const X509* peer = SSL_get0_peer_certificate(ssl_);
    return peer ? distinguishedName(X509_get_subject_name(peer)) : std::string();
}

std::optional<std::string> TlsSession::peerRole() const
{
    const X509* peer = SSL_get0_peer_certificate(ssl_);
    const std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> oid(OBJ_txt2obj(roleExtensionOid, 1),
                                                                       ASN1_OBJECT_free);
    const int at = peer && oid ? X509_get_ext_by_OBJ(peer, oid.get(), -1) : -1;
    if (at < 0)
        return std::nullopt;
    const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_get_ext(peer, at));
    const unsigned char* der = ASN1_STRING_get0_data(value);
    const unsigned char* const end = der + ASN1_STRING_length(value);
    const std::unique_ptr<ASN1_UTF8STRING, decltype(&ASN1_UTF8STRING_free)> role(
        d2i_ASN1_UTF8STRING(nullptr, &der, ASN1_STRING_length(value)), ASN1_UTF8STRING_free);
    ERR_clear_error();
    if (!role || der != end)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(role.get())),
                       static_cast<std::size_t>(ASN1_STRING_length(role.get())));
}

std::string TlsSession::protocol() const
{
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

}  // namespace app::remote
