#pragma once
// The web configuration of the HTTP server, in the YAML format Prometheus exporters read
// with --web.config.file, so that an operator's existing file works here:
//   tls_server_config:    cert_file, key_file, client_auth_type, client_ca_file,
//                         min_version, max_version, cipher_suites, curve_preferences,
//                         prefer_server_cipher_suites
//   http_server_config:   headers (added to every answer), http2 (read; answers are HTTP/1.1)
//   basic_auth_users:     user: bcrypt hash ($2b$, $2a$, $2y$)
// Without tls_server_config (or with neither file named) the server speaks plain HTTP;
// without basic_auth_users it asks for no password. Relative file names are read from the
// configuration file's folder.
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Declared only: the programs that include this may use the standalone Asio, which cannot
// share a translation unit with Boost's.
namespace boost::asio::ssl {
class context;
}

namespace zrt::host {

struct WebConfig {
    std::string file;                                  // as it was named
    std::shared_ptr<boost::asio::ssl::context> tls;    // null: plain HTTP
    std::vector<std::pair<std::string, std::string>> headers;
    std::map<std::string, std::string> users;          // user -> bcrypt hash
};

// Reads and checks the file, loads the certificate, key and client CAs. Throws
// std::invalid_argument "FILE: KEY: what is wrong" (an unknown key, a value of the wrong
// kind, a file that cannot be read, a hash that is not bcrypt).
WebConfig load_web_config(const std::string& file);

// Whether `password` matches the bcrypt `hash` (crypt_r, libxcrypt). Takes the hash's cost
// in time (tens of milliseconds at cost 10): call it off the server's thread.
bool bcrypt_matches(const std::string& password, const std::string& hash);

}  // namespace zrt::host
