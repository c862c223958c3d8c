// TLS through the download agent, against cpp-httplib servers on 127.0.0.1 whose
// certificates are made here with the openssl command. A certificate the system does
// not trust is refused. To show that a trusted one is accepted (and that its host name
// is checked), the system's CA bundle must hold a test authority: the test runs this
// program again in a private mount namespace, where the bundle file libcurl reads is
// replaced by a bind mount of one with the test authority added.
#include <norvane/download.h>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "http_test_server.h"
#include "test_support.h"

namespace norvane {
namespace {

namespace fs = std::filesystem;
using testing::HttplibServer;
using testing::TempDir;

constexpr const char* kInNamespace = "NORVANE_TLS_IN_NAMESPACE";

// Runs a shell command quietly; true when it exits with 0.
bool run(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct KeyPair {
  fs::path cert;
  fs::path key;
};

constexpr const char* kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

// A self-signed certificate for 127.0.0.1.
KeyPair make_self_signed(const fs::path& dir) {
  KeyPair pair{dir / "self.pem", dir / "self.key"};
  if (!run("openssl req -x509 " + std::string(kNewKey) + " -days 2 -subj /CN=127.0.0.1" +
           " -addext subjectAltName=IP:127.0.0.1 -keyout '" + pair.key.string() + "' -out '" +
           pair.cert.string() + "'"))
    throw std::runtime_error("openssl could not make a self-signed certificate");
  return pair;
}

// A test certificate authority.
KeyPair make_authority(const fs::path& dir) {
  KeyPair pair{dir / "ca.pem", dir / "ca.key"};
  if (!run("openssl req -x509 " + std::string(kNewKey) + " -days 2 -subj '/CN=Norvane Test CA'" +
           " -addext basicConstraints=critical,CA:TRUE" +
           " -addext keyUsage=critical,keyCertSign,cRLSign -keyout '" + pair.key.string() +
           "' -out '" + pair.cert.string() + "'"))
    throw std::runtime_error("openssl could not make a certificate authority");
  return pair;
}

// A server certificate issued by `ca` for the subject alternative name `san`
// ("IP:127.0.0.1", "DNS:localhost").
KeyPair make_issued(const fs::path& dir, const std::string& name, const KeyPair& ca,
                    const std::string& san, int serial) {
  KeyPair pair{dir / (name + ".pem"), dir / (name + ".key")};
  const fs::path csr = dir / (name + ".csr");
  const fs::path ext = dir / (name + ".ext");
  testing::write_file(
      ext, "subjectAltName=" + san + "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
  if (!run("openssl req -new " + std::string(kNewKey) + " -subj /CN=" + name + " -keyout '" +
           pair.key.string() + "' -out '" + csr.string() + "'") ||
      !run("openssl x509 -req -days 2 -set_serial " + std::to_string(serial) + " -in '" +
           csr.string() + "' -CA '" + ca.cert.string() + "' -CAkey '" + ca.key.string() +
           "' -extfile '" + ext.string() + "' -out '" + pair.cert.string() + "'"))
    throw std::runtime_error("openssl could not issue a certificate for " + name);
  return pair;
}

void serve_package(httplib::Server& s) {
  s.Get("/app.nupkg", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("package over TLS", "application/octet-stream");
  });
}

struct Outcome {
  Result<void> result;
  bool target_exists;
};

Outcome download_over(const std::string& url) {
  TempDir dir;
  Outcome out{download_url_to_file(url, (dir / "app.nupkg").string(), nullptr), false};
  out.target_exists = fs::exists(dir / "app.nupkg");
  if (out.result && testing::read_file(dir / "app.nupkg") != "package over TLS")
    out.result = fail("wrong content");
  return out;
}

TEST(TlsTest, RefusesCertificatesTheSystemDoesNotTrust) {
  TempDir dir;
  const KeyPair ca = make_authority(dir.path());
  struct Case {
    const char* name;
    KeyPair pair;
    std::string message_part;
  };
  const Case cases[] = {
      {"self-signed", make_self_signed(dir.path()), "self-signed certificate"},
      {"issued by an unknown authority",
       make_issued(dir.path(), "127.0.0.1", ca, "IP:127.0.0.1", 1),
       "unable to get local issuer certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HttplibServer server(serve_package, c.pair.cert.string(), c.pair.key.string());
    const Outcome out = download_over(server.url("/app.nupkg"));
    ASSERT_FALSE(out.result);
    EXPECT_NE(out.result.error().message.find(c.message_part), std::string::npos)
        << out.result.error().message;
    EXPECT_FALSE(out.target_exists);
  }
}

// The file libcurl takes its trusted roots from.
std::string default_ca_bundle() {
  CURL* curl = curl_easy_init();
  char* path = nullptr;
  curl_easy_getinfo(curl, CURLINFO_CAINFO, &path);
  std::string bundle = path != nullptr ? path : "";
  curl_easy_cleanup(curl);
  return bundle;
}

std::string self_path() {
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).string();
}

TEST(TlsTest, TrustsATestAuthorityAddedToTheSystemBundle) {
  if (std::getenv(kInNamespace) != nullptr) GTEST_SKIP() << "already inside the namespace";
  if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
  if (default_ca_bundle().empty() || !fs::is_regular_file(default_ca_bundle()))
    GTEST_SKIP() << "libcurl names no CA bundle file here";
  if (!run("unshare --mount --propagation private true"))
    GTEST_SKIP() << "cannot create a private mount namespace here (unshare -m failed)";

  TempDir dir;
  const fs::path log = dir / "child.log";
  const std::string command = std::string(kInNamespace) + "=1 timeout 120 unshare --mount " +
                              "--propagation private '" + self_path() +
                              "' --gtest_filter='TlsInNamespace.*' > '" + log.string() + "' 2>&1";
  const int status = std::system(command.c_str());
  const std::string output = testing::read_file(log);
  SCOPED_TRACE(output);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (const char* name : {"AcceptsACertificateIssuedByATrustedAuthority",
                           "RefusesACertificateForAnotherHost", "SendsTheHostNameForSni"})
    EXPECT_NE(output.find(std::string("[       OK ] TlsInNamespace.") + name), std::string::npos)
        << name;
  EXPECT_EQ(output.find("SKIPPED"), std::string::npos);
}

// Runs only in the namespace that the test above makes: there the system bundle is
// replaced by one that also holds the test authority, for the whole process.
class TlsInNamespace : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::getenv(kInNamespace) == nullptr) return;
    dir_ = new TempDir;
    ca_ = make_authority(dir_->path());
    const std::string bundle = default_ca_bundle();
    const fs::path replacement = dir_->path() / "bundle.pem";
    testing::write_file(replacement,
                        testing::read_file(bundle) + "\n" + testing::read_file(ca_.cert));
    if (::mount(replacement.c_str(), bundle.c_str(), nullptr, MS_BIND, nullptr) != 0)
      mount_error_ = std::string("bind mount over ") + bundle + " failed: " + std::strerror(errno);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (std::getenv(kInNamespace) == nullptr)
      GTEST_SKIP() << "runs inside the private mount namespace that "
                      "TlsTest.TrustsATestAuthorityAddedToTheSystemBundle starts";
    ASSERT_TRUE(mount_error_.empty()) << mount_error_;
  }

  static inline TempDir* dir_ = nullptr;
  static inline KeyPair ca_;
  static inline std::string mount_error_;
};

TEST_F(TlsInNamespace, AcceptsACertificateIssuedByATrustedAuthority) {
  const KeyPair pair = make_issued(dir_->path(), "127.0.0.1", ca_, "IP:127.0.0.1", 2);
  const HttplibServer server(serve_package, pair.cert.string(), pair.key.string());
  const Outcome out = download_over(server.url("/app.nupkg"));
  ASSERT_TRUE(out.result) << out.result.error().message;
  auto agent = get_download_agent();
  ASSERT_TRUE(agent) << agent.error().message;
  const auto body = agent->read_to_string(server.url("/app.nupkg"));
  ASSERT_TRUE(body) << body.error().message;
  EXPECT_EQ(*body, "package over TLS");
}

TEST_F(TlsInNamespace, RefusesACertificateForAnotherHost) {
  const KeyPair pair = make_issued(dir_->path(), "other.invalid", ca_, "DNS:other.invalid", 3);
  const HttplibServer server(serve_package, pair.cert.string(), pair.key.string());
  const Outcome out = download_over(server.url("/app.nupkg"));
  ASSERT_FALSE(out.result);
  EXPECT_NE(out.result.error().message.find("'127.0.0.1'"), std::string::npos)
      << out.result.error().message;
  EXPECT_FALSE(out.target_exists);
}

std::mutex sni_mutex;
std::string sni_seen;

TEST_F(TlsInNamespace, SendsTheHostNameForSni) {
  const KeyPair pair = make_issued(dir_->path(), "localhost", ca_, "DNS:localhost", 4);
  const HttplibServer server(serve_package, [&](SSL_CTX& ctx) {
    SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
    SSL_CTX_set_tlsext_servername_callback(
        &ctx, +[](SSL* ssl, int*, void*) -> int {
          const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
          std::lock_guard lock(sni_mutex);
          sni_seen = name != nullptr ? name : "(none)";
          return SSL_TLSEXT_ERR_OK;
        });
    return SSL_CTX_use_certificate_chain_file(&ctx, pair.cert.c_str()) == 1 &&
           SSL_CTX_use_PrivateKey_file(&ctx, pair.key.c_str(), SSL_FILETYPE_PEM) == 1;
  });
  const Outcome out =
      download_over("https://localhost:" + std::to_string(server.port()) + "/app.nupkg");
  ASSERT_TRUE(out.result) << out.result.error().message;
  std::lock_guard lock(sni_mutex);
  EXPECT_EQ(sni_seen, "localhost");
}

}  // namespace
}  // namespace norvane
