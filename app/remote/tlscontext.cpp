// The server's TLS context from the site's files, with OpenSSL 3.
#include "app/remote/tlscontext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <utility>

namespace app::remote {

namespace {

// TLS 1.2: forward secrecy and an AEAD cipher only. TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256
// is the one every Modbus/TCP Security client has; ECDSA keys get the same.
constexpr const char* tls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* tls13Suites = "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* groups = "P-256:X25519:P-384";
// 112-bit security at least: RSA and DH of 2048 bits up, no SHA-1 signatures.
constexpr int securityLevel = 2;
constexpr unsigned char sessionIdContext[] = "frequency-converter";

// The program runs with no terminal to ask at; an encrypted key is refused.
int noPassword(char*, int, int, void*)
{
    return 0;
}

std::string validUntil(const X509* certificate)
{
    BIO* text = BIO_new(BIO_s_mem());
    ASN1_TIME_print(text, X509_get0_notAfter(certificate));
    char* data = nullptr;
    const long size = BIO_get_mem_data(text, &data);
    std::string until(data, static_cast<std::size_t>(size));
    BIO_free(text);
    return until;
}

}  // namespace

std::string openSslReasons()
{
    std::string reasons;
    while (const unsigned long error = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(error);
        std::string said = ERR_SYSTEM_ERROR(error) ? std::strerror(ERR_GET_REASON(error))
                           : reason                ? reason
                                                   : "OpenSSL error " + std::to_string(error);
        if (reasons.find(said) == std::string::npos)
            reasons += (reasons.empty() ? "" : "; ") + said;
    }
    return reasons.empty() ? "no reason given" : reasons;
}

std::string distinguishedName(const X509_name_st* name)
{
    BIO* text = BIO_new(BIO_s_mem());
    // RFC 2253 with its escapes: no line break or control character reaches the log.
    X509_NAME_print_ex(text, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long size = BIO_get_mem_data(text, &data);
    std::string printed(data, static_cast<std::size_t>(size));
    BIO_free(text);
    return printed;
}

std::shared_ptr<const TlsContext> TlsContext::load(const TlsFiles& files)
{
    ERR_clear_error();
    RolesTable roles;
    try {
        roles = RolesTable::load(files.roles);
    } catch (const RolesTableError& error) {
        throw TlsError(error.what());
    }
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context)
        throw TlsError("OpenSSL could not make a TLS context: " + openSslReasons());
    const auto fail = [context](const std::string& what) {
        SSL_CTX_free(context);
        return TlsError(what + ": " + openSslReasons());
    };
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET |
                                     SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_clear_options(context, SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(context, 0);
    SSL_CTX_set_session_id_context(context, sessionIdContext, sizeof sessionIdContext - 1);
    SSL_CTX_set_security_level(context, securityLevel);
    SSL_CTX_set_default_passwd_cb(context, noPassword);
    if (SSL_CTX_set_cipher_list(context, tls12Ciphers) != 1 || SSL_CTX_set_ciphersuites(context, tls13Suites) != 1 ||
        SSL_CTX_set1_groups_list(context, groups) != 1)
        throw fail("OpenSSL refused the ciphers");

    if (SSL_CTX_use_certificate_chain_file(context, files.certificate.c_str()) != 1)
        throw fail("the server's certificate " + files.certificate + " could not be used");
    if (SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw fail("the server's key " + files.key + " could not be used (PEM, not encrypted, readable by this user)");
    if (SSL_CTX_check_private_key(context) != 1)
        throw fail("the key " + files.key + " is not the one of the certificate " + files.certificate);

    if (SSL_CTX_load_verify_locations(context, files.authorities.c_str(), nullptr) != 1)
        throw fail("the CA file " + files.authorities + " could not be used");
    STACK_OF(X509_NAME)* authorities = SSL_load_client_CA_file(files.authorities.c_str());
    if (!authorities)
        throw fail("the CA file " + files.authorities + " holds no certificate");
    const int trusted = sk_X509_NAME_num(authorities);
    SSL_CTX_set_client_CA_list(context, authorities);  // tells clients which CAs to choose from
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT | SSL_VERIFY_CLIENT_ONCE, nullptr);
    // A client certificate that names its uses must allow TLS client authentication.
    SSL_CTX_set_purpose(context, X509_PURPOSE_SSL_CLIENT);

    const X509* own = SSL_CTX_get0_certificate(context);
    std::string summary = "certificate " + distinguishedName(X509_get_subject_name(own)) + " (valid until " +
                          validUntil(own) + "), " + std::to_string(trusted) + " trusted CA" +
                          (trusted == 1 ? "" : "s") + ", " + std::to_string(roles.size()) + " role" +
                          (roles.size() == 1 ? "" : "s");
    return std::shared_ptr<const TlsContext>(new TlsContext(context, std::move(roles), std::move(summary)));
}

TlsContext::TlsContext(ssl_ctx_st* context, RolesTable roles, std::string summary)
    : context_(context), roles_(std::move(roles)), summary_(std::move(summary))
{
}

// Sessions made from it hold their own reference: they outlive this.
TlsContext::~TlsContext()
{
    SSL_CTX_free(context_);
}

}  // namespace app::remote
