#include "tools/metrics/web_config.h"

#include <crypt.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>

#include <boost/asio/ssl/context.hpp>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <yaml-cpp/yaml.h>

namespace zrt::host {
namespace {

namespace ssl = boost::asio::ssl;

class Reader {
public:
    explicit Reader(std::string file) : file_(std::move(file)) {
        const auto slash = file_.rfind('/');
        dir_ = slash == std::string::npos ? "" : file_.substr(0, slash + 1);
    }

    [[noreturn]] void fail(const std::string& key, const std::string& what) const {
        throw std::invalid_argument(file_ + ": " + (key.empty() ? "" : key + ": ") + what);
    }

    // A map whose keys are all among `known`; a null node (an empty section) reads as empty.
    void map(const YAML::Node& n, const std::string& key, const std::set<std::string>& known) const {
        if (!n || n.IsNull()) return;
        if (!n.IsMap()) fail(key, "must be a map of keys");
        for (const auto& kv : n) {
            const std::string k = kv.first.Scalar();
            if (!known.count(k))
                fail(key.empty() ? k : key + "." + k, "unknown key" + (key.empty() ? std::string() : " in " + key));
        }
    }

    std::string text(const YAML::Node& n, const std::string& key) const {
        if (!n || n.IsNull()) return "";
        if (!n.IsScalar()) fail(key, "must be a text");
        return n.Scalar();
    }

    bool boolean(const YAML::Node& n, const std::string& key) const {
        if (!n || n.IsNull()) return false;
        bool b = false;
        if (!n.IsScalar() || !YAML::convert<bool>::decode(n, b)) fail(key, "must be true or false");
        return b;
    }

    std::vector<std::string> texts(const YAML::Node& n, const std::string& key) const {
        std::vector<std::string> out;
        if (!n || n.IsNull()) return out;
        if (!n.IsSequence()) fail(key, "must be a list of texts");
        for (const auto& e : n) out.push_back(text(e, key + "[]"));
        return out;
    }

    // A file name as written, relative ones read from the configuration file's folder.
    std::string path(const std::string& name) const { return name.empty() || name[0] == '/' ? name : dir_ + name; }

    // A file that must be there and readable.
    std::string readable(const YAML::Node& n, const std::string& key) const {
        const std::string p = path(text(n, key));
        if (p.empty()) return p;
        std::ifstream in(p);
        if (!in) fail(key, "cannot read " + p + ": " + std::strerror(errno));
        return p;
    }

private:
    std::string file_, dir_;
};

int tls_version(const Reader& r, const std::string& text, const std::string& key) {
    static const std::pair<const char*, int> kVersions[] = {
        {"TLS10", TLS1_VERSION}, {"TLS11", TLS1_1_VERSION}, {"TLS12", TLS1_2_VERSION}, {"TLS13", TLS1_3_VERSION}};
    for (const auto& v : kVersions)
        if (text == v.first) return v.second;
    r.fail(key, "\"" + text + "\" is none of TLS10, TLS11, TLS12, TLS13");
}

std::string openssl_error() {
    char buf[256] = "";
    ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

// The TLS context of tls_server_config; null when it names no certificate.
std::shared_ptr<ssl::context> tls_context(const Reader& r, const YAML::Node& t) {
    const std::string key = "tls_server_config";
    r.map(t, key,
          {"cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version", "max_version",
           "cipher_suites", "curve_preferences", "prefer_server_cipher_suites"});
    if (!t || t.IsNull()) return nullptr;
    const std::string min = r.text(t["min_version"], key + ".min_version");
    const std::string max = r.text(t["max_version"], key + ".max_version");
    const int lo = min.empty() ? TLS1_2_VERSION : tls_version(r, min, key + ".min_version");
    const int hi = max.empty() ? TLS1_3_VERSION : tls_version(r, max, key + ".max_version");
    if (hi < lo) r.fail(key + ".max_version", "is below min_version");
    const std::string cert = r.readable(t["cert_file"], key + ".cert_file");
    const std::string pkey = r.readable(t["key_file"], key + ".key_file");
    if (cert.empty() && pkey.empty()) return nullptr;
    if (cert.empty()) r.fail(key + ".cert_file", "missing (key_file is given)");
    if (pkey.empty()) r.fail(key + ".key_file", "missing (cert_file is given)");

    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    SSL_CTX* c = ctx->native_handle();
    // TLS 1.0 and 1.1 need the lowest security level of OpenSSL 3 to be offered at all.
    if (lo < TLS1_2_VERSION) SSL_CTX_set_security_level(c, 0);
    SSL_CTX_set_min_proto_version(c, lo);
    SSL_CTX_set_max_proto_version(c, hi);
    ctx->set_options(ssl::context::default_workarounds | ssl::context::no_compression);
    if (r.boolean(t["prefer_server_cipher_suites"], key + ".prefer_server_cipher_suites"))
        SSL_CTX_set_options(c, SSL_OP_CIPHER_SERVER_PREFERENCE);

    if (SSL_CTX_use_certificate_chain_file(c, cert.c_str()) != 1)
        r.fail(key + ".cert_file", cert + " holds no certificate: " + openssl_error());
    if (SSL_CTX_use_PrivateKey_file(c, pkey.c_str(), SSL_FILETYPE_PEM) != 1)
        r.fail(key + ".key_file", pkey + " holds no private key: " + openssl_error());
    if (SSL_CTX_check_private_key(c) != 1) r.fail(key + ".key_file", pkey + " is not the key of " + cert);

    // The suites by their standard (IANA) names, as the format writes them; they rule TLS
    // 1.2 and below (TLS 1.3 keeps its own suites).
    const auto suites = r.texts(t["cipher_suites"], key + ".cipher_suites");
    if (!suites.empty()) {
        std::string list;
        STACK_OF(SSL_CIPHER)* all = SSL_CTX_get_ciphers(c);
        for (const auto& s : suites) {
            const SSL_CIPHER* found = nullptr;
            for (int i = 0; i < sk_SSL_CIPHER_num(all) && !found; ++i) {
                const char* std_name = SSL_CIPHER_standard_name(sk_SSL_CIPHER_value(all, i));
                if (std_name && s == std_name) found = sk_SSL_CIPHER_value(all, i);
            }
            if (!found) r.fail(key + ".cipher_suites", "unknown cipher suite " + s);
            list += (list.empty() ? "" : ":") + std::string(SSL_CIPHER_get_name(found));
        }
        if (SSL_CTX_set_cipher_list(c, list.c_str()) != 1) r.fail(key + ".cipher_suites", openssl_error());
    }
    const auto curves = r.texts(t["curve_preferences"], key + ".curve_preferences");
    if (!curves.empty()) {
        static const std::pair<const char*, const char*> kCurves[] = {
            {"CurveP256", "P-256"}, {"CurveP384", "P-384"}, {"CurveP521", "P-521"}, {"X25519", "X25519"}};
        std::string list;
        for (const auto& s : curves) {
            auto it = std::find_if(std::begin(kCurves), std::end(kCurves), [&](const auto& p) { return s == p.first; });
            if (it == std::end(kCurves))
                r.fail(key + ".curve_preferences", "\"" + s + "\" is none of CurveP256, CurveP384, CurveP521, X25519");
            list += (list.empty() ? "" : ":") + std::string(it->second);
        }
        if (SSL_CTX_set1_groups_list(c, list.c_str()) != 1) r.fail(key + ".curve_preferences", openssl_error());
    }

    const std::string ca = r.readable(t["client_ca_file"], key + ".client_ca_file");
    std::string auth = r.text(t["client_auth_type"], key + ".client_auth_type");
    if (auth.empty()) auth = ca.empty() ? "NoClientCert" : "RequireAndVerifyClientCert";
    // Asking for a certificate without verifying it: every certificate is taken.
    auto take_any = [](int, X509_STORE_CTX*) { return 1; };
    if (auth == "NoClientCert") {
        if (!ca.empty()) r.fail(key + ".client_ca_file", "given while client_auth_type is NoClientCert");
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    } else if (auth == "RequestClientCert") {
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, take_any);
    } else if (auth == "RequireAnyClientCert") {
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, take_any);
    } else if (auth == "VerifyClientCertIfGiven" || auth == "RequireAndVerifyClientCert") {
        if (ca.empty()) r.fail(key + ".client_ca_file", "missing: client_auth_type " + auth + " verifies against it");
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER | (auth == "RequireAndVerifyClientCert" ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                           nullptr);
    } else {
        r.fail(key + ".client_auth_type", "\"" + auth +
                                              "\" is none of NoClientCert, RequestClientCert, RequireAnyClientCert, "
                                              "VerifyClientCertIfGiven, RequireAndVerifyClientCert");
    }
    if (!ca.empty()) {
        if (SSL_CTX_load_verify_locations(c, ca.c_str(), nullptr) != 1)
            r.fail(key + ".client_ca_file", ca + " holds no certificate: " + openssl_error());
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(ca.c_str());
        if (names) SSL_CTX_set_client_CA_list(c, names);
    }
    return ctx;
}

bool header_token(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char ch) {
        return std::isalnum(ch) || std::strchr("!#$%&'*+-.^_`|~", ch);
    });
}

// Whether crypt_r takes the hash as a setting at all.
bool crypt_ok(const std::string& hash) {
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof *data);
    const char* out = crypt_r("", hash.c_str(), data.get());
    return out && out[0] == '$';
}

}  // namespace

bool bcrypt_matches(const std::string& password, const std::string& hash) {
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof *data);
    const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
    // A failure is "*0" or "*1" (or null), never the hash.
    return out && out[0] == '$' && std::strlen(out) == hash.size() &&
           CRYPTO_memcmp(out, hash.data(), hash.size()) == 0;
}

WebConfig load_web_config(const std::string& file) {
    Reader r(file);
    YAML::Node root;
    try {
        root = YAML::LoadFile(file);
    } catch (const YAML::BadFile&) {
        r.fail("", std::string("cannot read: ") + std::strerror(errno));
    } catch (const YAML::Exception& e) {
        r.fail("", "line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
    }
    WebConfig w;
    w.file = file;
    r.map(root, "", {"tls_server_config", "http_server_config", "basic_auth_users"});
    if (root.IsNull()) return w;
    try {
        w.tls = tls_context(r, root["tls_server_config"]);

        const YAML::Node http = root["http_server_config"];
        r.map(http, "http_server_config", {"headers", "http2"});
        if (http && !http.IsNull()) {
            r.boolean(http["http2"], "http_server_config.http2");
            const YAML::Node h = http["headers"];
            const std::string hk = "http_server_config.headers";
            if (h && !h.IsNull() && !h.IsMap()) r.fail(hk, "must be a map of header names to values");
            // Headers the server sets itself are its own to set.
            static const std::set<std::string> kOwn = {"content-type", "content-length", "content-encoding",
                                                       "transfer-encoding", "connection", "www-authenticate",
                                                       "cache-control", "allow", "server"};
            if (h && h.IsMap())
                for (const auto& kv : h) {
                    const std::string name = kv.first.Scalar();
                    const std::string value = r.text(kv.second, hk + "." + name);
                    std::string lower = name;
                    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
                    if (!header_token(name)) r.fail(hk + "." + name, "not a header name");
                    if (kOwn.count(lower)) r.fail(hk + "." + name, "set by the server itself");
                    if (value.find_first_of("\r\n") != std::string::npos || value.find('\0') != std::string::npos)
                        r.fail(hk + "." + name, "a header value is one line");
                    w.headers.emplace_back(name, value);
                }
        }

        const YAML::Node users = root["basic_auth_users"];
        if (users && !users.IsNull()) {
            if (!users.IsMap()) r.fail("basic_auth_users", "must be a map of user names to bcrypt hashes");
            for (const auto& kv : users) {
                const std::string user = kv.first.Scalar();
                const std::string key = "basic_auth_users." + user;
                const std::string hash = r.text(kv.second, key);
                if (user.empty() || user.find(':') != std::string::npos) r.fail(key, "a user name holds no colon");
                const bool bcrypt = hash.size() == 60 && hash[0] == '$' && hash[1] == '2' &&
                                    std::strchr("aby", hash[2]) && hash[3] == '$';
                // crypt_r refuses a malformed hash of the right shape (a bad cost, bad characters).
                if (!bcrypt || !crypt_ok(hash)) r.fail(key, "not a bcrypt hash ($2b$..., as htpasswd -B writes it)");
                w.users[user] = hash;
            }
        }
    } catch (const YAML::Exception& e) {
        r.fail("", "line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
    }
    return w;
}

}  // namespace zrt::host
