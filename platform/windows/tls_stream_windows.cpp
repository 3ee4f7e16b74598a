// Schannel driven by hand: the SSPI functions only turn bytes into bytes,
// and every byte goes through the socket with asio, so the handshake and the
// records are bounded by the same deadline as the rest of the conversation.

#include "platform/windows/tls_stream_windows.h"

#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <asio/buffer.hpp>
#include <asio/ip/address.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "platform/windows/text_windows.h"

namespace ebbmark {
namespace {

// One TLS record is at most 16 KiB of data plus its framing; a peer that
// sends more than this without completing a record is not speaking TLS.
constexpr std::size_t kMaxRawInput = 64 * 1024;

// The SSL chain policy's checks to leave out, which the SDK declares only in
// the HTTP client headers: an unknown root, and the name.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreName = 0x00001000;

constexpr unsigned long kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                        ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                        ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

std::string StatusText(SECURITY_STATUS status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
  std::string text = win::Win32Error(static_cast<unsigned long>(status)).message();
  return text.empty() ? std::string(hex) : text + ", " + hex;
}

std::error_code TlsError(SECURITY_STATUS status) {
  return win::Win32Error(static_cast<unsigned long>(status));
}

// The CA certificates of a PEM file, in a store of their own.
HCERTSTORE LoadCaFile(const std::string& path, std::string& why) {
  const std::wstring name = win::PathArgument(path);
  FILE* f = name.empty() ? nullptr : _wfopen(name.c_str(), L"rb");
  if (f == nullptr) {
    why = "cannot read " + path;
    return nullptr;
  }
  std::string pem;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && pem.size() < (1u << 22);)
    pem.append(chunk, n);
  std::fclose(f);
  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) {
    why = "no certificate store";
    return nullptr;
  }
  constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t at = 0;
       (at = pem.find("-----BEGIN CERTIFICATE-----", at)) != std::string::npos;) {
    const std::size_t end = pem.find(kEnd, at);
    if (end == std::string::npos) break;
    const std::string block = pem.substr(at, end + kEnd.size() - at);
    at = end + kEnd.size();
    DWORD size = 0;
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
      continue;
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
      continue;
    if (::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                           CERT_STORE_ADD_ALWAYS, nullptr))
      ++added;
  }
  if (added == 0) {
    ::CertCloseStore(store, 0);
    why = "no certificate in " + path;
    return nullptr;
  }
  return store;
}

// The address as its bytes in network order (4 or 16), or nothing when
// `host` is a name.
std::vector<BYTE> AddressBytes(const std::string& host) {
  std::error_code ec;
  const auto address = asio::ip::make_address(host, ec);
  if (ec) return {};
  if (address.is_v4()) {
    const auto b = address.to_v4().to_bytes();
    return {b.begin(), b.end()};
  }
  const auto b = address.to_v6().to_bytes();
  return {b.begin(), b.end()};
}

// True when the certificate's subject alternative names hold the address.
bool HasAddress(PCCERT_CONTEXT cert, const std::vector<BYTE>& address) {
  const CERT_INFO* info = cert->pCertInfo;
  const CERT_EXTENSION* ext =
      ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (ext == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                             ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == address.size() &&
            std::equal(address.begin(), address.end(), e.IPAddress.pbData);
  }
  ::LocalFree(names);
  return found;
}

bool InStore(HCERTSTORE store, PCCERT_CONTEXT cert) {
  PCCERT_CONTEXT found = nullptr;
  while ((found = ::CertEnumCertificatesInStore(store, found)) != nullptr) {
    if (::CertCompareCertificate(X509_ASN_ENCODING, found->pCertInfo, cert->pCertInfo)) {
      ::CertFreeCertificateContext(found);
      return true;
    }
  }
  return false;
}

std::string ChainPolicyText(DWORD error) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
      return "issued by an authority this computer does not trust";
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return "issued to another name than the server's";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "expired or not yet valid";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
      return "not meant for a server";
    case static_cast<DWORD>(CRYPT_E_REVOKED):
      return "revoked";
    default:
      return StatusText(static_cast<SECURITY_STATUS>(error));
  }
}

std::string ChainErrorText(DWORD errors) {
  if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return ChainPolicyText(static_cast<DWORD>(CERT_E_UNTRUSTEDROOT));
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID)
    return ChainPolicyText(static_cast<DWORD>(CERT_E_EXPIRED));
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
    return ChainPolicyText(static_cast<DWORD>(CERT_E_WRONG_USAGE));
  if (errors & CERT_TRUST_IS_REVOKED) return ChainPolicyText(static_cast<DWORD>(CRYPT_E_REVOKED));
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(errors));
  return std::string("not valid (chain status ") + hex + ")";
}

}  // namespace

struct TlsStream::State {
  CredHandle credentials{};
  CtxtHandle context{};
  bool have_credentials = false;
  bool have_context = false;
  bool established = false;
  SecPkgContext_StreamSizes sizes{};
  std::wstring target;
  std::vector<char> raw;  // received, not yet handed to Schannel whole

  ~State() {
    if (have_context) ::DeleteSecurityContext(&context);
    if (have_credentials) ::FreeCredentialsHandle(&credentials);
  }
};

TlsStream::TlsStream(asio::ip::tcp::socket& socket)
    : socket_(socket), state_(std::make_unique<State>()) {}

TlsStream::~TlsStream() = default;

asio::awaitable<void> TlsStream::ReadRaw(std::error_code& ec) {
  if (state_->raw.size() >= kMaxRawInput) {
    ec = std::make_error_code(std::errc::message_size);
    co_return;
  }
  char chunk[16 * 1024 + 512];
  const std::size_t n = co_await socket_.async_read_some(
      asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
  if (!ec) state_->raw.insert(state_->raw.end(), chunk, chunk + n);
}

asio::awaitable<void> TlsStream::SendRaw(const void* data, std::size_t size, std::error_code& ec) {
  co_await asio::async_write(socket_, asio::buffer(data, size),
                             asio::redirect_error(asio::use_awaitable, ec));
}

asio::awaitable<void> TlsStream::Handshake(const TlsCheck& check, std::error_code& ec) {
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  // The certificate is judged here, after the handshake, so that the test's
  // own CA can stand in for the system's store; no client certificate is
  // ever offered.
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  TimeStamp expiry;
  const SECURITY_STATUS acquired =
      ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &cred, nullptr, nullptr, &state_->credentials, &expiry);
  if (acquired != SEC_E_OK) {
    ec = TlsError(acquired);
    failure_ = "encryption is not available on this computer (" + StatusText(acquired) + ")";
    co_return;
  }
  state_->have_credentials = true;
  state_->target = win::Widen(check.host);

  co_await HandshakeLoop(ec);
  if (ec) co_return;
  const SECURITY_STATUS sized =
      ::QueryContextAttributesW(&state_->context, SECPKG_ATTR_STREAM_SIZES, &state_->sizes);
  if (sized != SEC_E_OK) {
    ec = TlsError(sized);
    failure_ = "the encryption could not be set up (" + StatusText(sized) + ")";
    co_return;
  }
  if (check.verify && !CheckCertificate(check)) {
    untrusted_ = true;
    ec = std::make_error_code(std::errc::permission_denied);
    co_return;
  }
  state_->established = true;
}

// Runs InitializeSecurityContextW until the context is complete: from the
// start when there is no context yet, or on from what the server sent after
// the handshake (a TLS 1.3 ticket or key update) when DecryptMessage asks.
asio::awaitable<void> TlsStream::HandshakeLoop(std::error_code& ec) {
  bool need_input = state_->have_context && state_->raw.empty();
  for (int round = 0; round < 64; ++round) {
    if (need_input) {
      co_await ReadRaw(ec);
      if (ec) {
        failure_ = "the encryption could not be set up (the server ended the handshake)";
        co_return;
      }
    }
    SecBuffer in[2] = {};
    in[0].BufferType = SECBUFFER_TOKEN;
    in[0].pvBuffer = state_->raw.data();
    in[0].cbBuffer = static_cast<unsigned long>(state_->raw.size());
    in[1].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {};
    out[0].BufferType = SECBUFFER_TOKEN;
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
    unsigned long attributes = 0;
    const bool first = !state_->have_context;
    const SECURITY_STATUS status = ::InitializeSecurityContextW(
        &state_->credentials, first ? nullptr : &state_->context,
        state_->target.empty() ? nullptr : state_->target.data(), kContextFlags, 0, 0,
        first ? nullptr : &in_desc, 0, &state_->context, &out_desc, &attributes, nullptr);
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED))
      state_->have_context = true;

    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      need_input = true;
      continue;
    }
    // The server asked for a client certificate, which may be optional: go
    // on without one, from the same input.
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      if (out[0].pvBuffer != nullptr) ::FreeContextBuffer(out[0].pvBuffer);
      need_input = false;
      continue;
    }
    // The token for the server (and on some failures the alert) goes out
    // before anything else is decided.
    if (out[0].pvBuffer != nullptr) {
      std::vector<char> token(static_cast<char*>(out[0].pvBuffer),
                              static_cast<char*>(out[0].pvBuffer) + out[0].cbBuffer);
      ::FreeContextBuffer(out[0].pvBuffer);
      if (!token.empty() && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
        co_await SendRaw(token.data(), token.size(), ec);
        if (ec) {
          failure_ = "the encryption could not be set up (the connection broke)";
          co_return;
        }
      }
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
      ec = TlsError(status);
      failure_ = "the encryption could not be set up (" + StatusText(status) + ")";
      co_return;
    }
    // What Schannel did not take belongs to the next step (or, once the
    // handshake is done, to the first record).
    if (!first && in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
      state_->raw.erase(state_->raw.begin(), state_->raw.end() - in[1].cbBuffer);
    } else if (!first) {
      state_->raw.clear();
    }
    if (status == SEC_E_OK) co_return;
    need_input = state_->raw.empty();
  }
  ec = std::make_error_code(std::errc::protocol_error);
  failure_ = "the encryption could not be set up (the handshake did not end)";
}

bool TlsStream::CheckCertificate(const TlsCheck& check) {
  PCCERT_CONTEXT cert = nullptr;
  const SECURITY_STATUS got =
      ::QueryContextAttributesW(&state_->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
  if (got != SEC_E_OK || cert == nullptr) {
    failure_ = "the server showed no certificate";
    return false;
  }
  HCERTSTORE ca = nullptr;
  HCERTSTORE extra = cert->hCertStore;
  HCERTSTORE collection = nullptr;
  if (!check.ca_file.empty()) {
    ca = LoadCaFile(check.ca_file, failure_);
    if (ca == nullptr) {
      ::CertFreeCertificateContext(cert);
      return false;
    }
    // The chain may take its intermediates from what the server sent and
    // its root from the given CA certificates.
    collection = ::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (collection != nullptr) {
      ::CertAddStoreToCollection(collection, cert->hCertStore, 0, 0);
      ::CertAddStoreToCollection(collection, ca, 0, 0);
      extra = collection;
    }
  }

  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {server_auth};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool trusted = false;
  if (!::CertGetCertificateChain(nullptr, cert, nullptr, extra, &para, 0, nullptr, &chain)) {
    failure_ = "its chain could not be built (" + win::LastError().message() + ")";
  } else {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = state_->target.data();
    // A root the system does not know is good when it is one of the given
    // CA certificates; the name is checked all the same.
    bool our_root = false;
    if (ca != nullptr && chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
      const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
      our_root = InStore(ca, simple->rgpElement[simple->cElement - 1]->pCertContext);
    }
    if (our_root) ssl.fdwChecks = kIgnoreUnknownCa;
    // A server given by its address is checked against the addresses in the
    // certificate here: the policy compares names only (Wine's never looks
    // at addresses, and Windows' handling differs between versions).
    const std::vector<BYTE> address = AddressBytes(check.host);
    if (!address.empty()) ssl.fdwChecks |= kIgnoreName;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    // The chain's own verdict first: the policy alone lets a chain that
    // never reached a root pass under Wine.
    DWORD chain_errors = chain->TrustStatus.dwErrorStatus &
                         ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (our_root) chain_errors &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
    if (chain_errors != 0) {
      failure_ = "the certificate is " + ChainErrorText(chain_errors);
    } else if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy,
                                                   &status)) {
      failure_ = "its chain could not be checked (" + win::LastError().message() + ")";
    } else if (status.dwError != 0) {
      failure_ = "the certificate is " + ChainPolicyText(status.dwError);
    } else if (!address.empty() && !HasAddress(cert, address)) {
      failure_ = "the certificate is " + ChainPolicyText(static_cast<DWORD>(CERT_E_CN_NO_MATCH));
    } else {
      trusted = true;
    }
    ::CertFreeCertificateChain(chain);
  }
  if (collection != nullptr) ::CertCloseStore(collection, 0);
  if (ca != nullptr) ::CertCloseStore(ca, 0);
  ::CertFreeCertificateContext(cert);
  return trusted;
}

asio::awaitable<void> TlsStream::ReadSome(std::string& out, std::error_code& ec) {
  if (!state_->established) {
    ec = std::make_error_code(std::errc::not_connected);
    co_return;
  }
  for (int round = 0; round < 256; ++round) {
    if (state_->raw.empty()) {
      co_await ReadRaw(ec);
      if (ec) co_return;
    }
    SecBuffer buffers[4] = {};
    buffers[0].BufferType = SECBUFFER_DATA;
    buffers[0].pvBuffer = state_->raw.data();
    buffers[0].cbBuffer = static_cast<unsigned long>(state_->raw.size());
    for (int i = 1; i < 4; ++i) buffers[i].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = ::DecryptMessage(&state_->context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      co_await ReadRaw(ec);
      if (ec) co_return;
      continue;
    }
    if (status == SEC_I_CONTEXT_EXPIRED) {  // the server's close_notify
      ec = asio::error::eof;
      co_return;
    }
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
      ec = TlsError(status);
      failure_ = "the encrypted data could not be read (" + StatusText(status) + ")";
      co_return;
    }
    // Decrypted in place: take the data before the buffer changes.
    std::size_t before = out.size();
    std::vector<char> extra;
    for (const auto& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.pvBuffer != nullptr)
        out.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      if (b.BufferType == SECBUFFER_EXTRA && b.pvBuffer != nullptr)
        extra.assign(static_cast<const char*>(b.pvBuffer),
                     static_cast<const char*>(b.pvBuffer) + b.cbBuffer);
    }
    state_->raw = std::move(extra);
    if (status == SEC_I_RENEGOTIATE) {
      // A handshake message after the handshake (a TLS 1.3 session ticket or
      // key update): Schannel wants it through InitializeSecurityContextW.
      co_await HandshakeLoop(ec);
      if (ec) co_return;
    }
    if (out.size() > before) co_return;
  }
  ec = std::make_error_code(std::errc::protocol_error);
}

asio::awaitable<void> TlsStream::Write(const std::string& data, std::error_code& ec) {
  if (!state_->established) {
    ec = std::make_error_code(std::errc::not_connected);
    co_return;
  }
  const auto& sizes = state_->sizes;
  std::vector<char> record(sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer);
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t n = std::min<std::size_t>(sizes.cbMaximumMessage, data.size() - at);
    std::memcpy(record.data() + sizes.cbHeader, data.data() + at, n);
    SecBuffer buffers[4] = {};
    buffers[0] = {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
    buffers[1] = {static_cast<unsigned long>(n), SECBUFFER_DATA, record.data() + sizes.cbHeader};
    buffers[2] = {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + n};
    buffers[3].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = ::EncryptMessage(&state_->context, 0, &desc, 0);
    if (status != SEC_E_OK) {
      SecureZeroMemory(record.data(), record.size());
      ec = TlsError(status);
      failure_ = "the data could not be encrypted (" + StatusText(status) + ")";
      co_return;
    }
    const std::size_t total = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
    co_await SendRaw(record.data(), total, ec);
    if (ec) break;
    at += n;
  }
  // The plain text may have been a password; nothing of it stays behind.
  SecureZeroMemory(record.data(), record.size());
}

asio::awaitable<void> TlsStream::Close() {
  if (!state_->established) co_return;
  state_->established = false;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer in{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc in_desc{SECBUFFER_VERSION, 1, &in};
  if (::ApplyControlToken(&state_->context, &in_desc) != SEC_E_OK) co_return;
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
  unsigned long attributes = 0;
  const SECURITY_STATUS status = ::InitializeSecurityContextW(
      &state_->credentials, &state_->context, state_->target.data(), kContextFlags, 0, 0, nullptr,
      0, &state_->context, &out_desc, &attributes, nullptr);
  if (out.pvBuffer == nullptr) co_return;
  std::vector<char> alert(static_cast<char*>(out.pvBuffer),
                          static_cast<char*>(out.pvBuffer) + out.cbBuffer);
  ::FreeContextBuffer(out.pvBuffer);
  if (FAILED(status) || alert.empty()) co_return;
  std::error_code ignored;
  co_await SendRaw(alert.data(), alert.size(), ignored);
}

}  // namespace ebbmark
