// Modbus/TCP Security's settings, made once from the site's files: the
// server's certificate and key, the CAs whose clients it trusts and the roles
// table. Connections take the context in effect when they are accepted; a
// reload makes a new one, so connections already made keep theirs.
//
// What every connection gets (OpenSSL 3): TLS 1.2 or newer; a client
// certificate, verified against the CAs and required (a client without one
// gets a fatal alert); ECDHE with AES-GCM or ChaCha20-Poly1305 only (RSA or
// ECDSA keys, P-256 among the groups), so no SHA-1 or MD5 MAC and no key
// exchange without forward secrecy; no compression, no renegotiation, no
// session resumption (a certificate or role taken away counts from the next
// connection on).
#ifndef APP_REMOTE_TLSCONTEXT_H
#define APP_REMOTE_TLSCONTEXT_H

#include "app/remote/rolestable.h"

#include <memory>
#include <stdexcept>
#include <string>

struct ssl_ctx_st;
struct X509_name_st;

namespace app::remote {

// Where the files are, each PEM.
struct TlsFiles {
    std::string certificate;  // the server's certificate, followed by its chain
    std::string key;          // its private key, not encrypted
    std::string authorities;  // the CAs whose client certificates are trusted
    std::string roles;        // the roles table (rolestable.h)
};

// What could not be loaded, in one line with the file and OpenSSL's reason.
class TlsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TlsContext {
public:
    // Throws TlsError. Reads the files on the calling thread; a key that is
    // encrypted is refused, never asked for.
    static std::shared_ptr<const TlsContext> load(const TlsFiles& files);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    ssl_ctx_st* context() const { return context_; }
    const RolesTable& roles() const { return roles_; }
    // "certificate CN=converter-1 (valid until Dec  8 12:00:00 2027 GMT), 3 roles"
    const std::string& summary() const { return summary_; }

private:
    TlsContext(ssl_ctx_st* context, RolesTable roles, std::string summary);

    ssl_ctx_st* context_;
    RolesTable roles_;
    std::string summary_;
};

// The OID of the role extension (Modbus/TCP Security): one ASN.1 UTF8String.
inline constexpr const char* roleExtensionOid = "1.3.6.1.4.1.50316.802.1";

// OpenSSL's reasons for the last failure on this thread, "; " between them,
// the queue emptied.
std::string openSslReasons();

// A certificate's subject or issuer as RFC 2253 writes it: "CN=plc-1,O=Plant".
std::string distinguishedName(const X509_name_st* name);

}  // namespace app::remote

#endif  // APP_REMOTE_TLSCONTEXT_H
