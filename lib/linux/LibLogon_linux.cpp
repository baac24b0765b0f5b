// Log-on over PAM and NSS.
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <mutex>

#include "LibError.h"
#include "LibLogger.h"
#include "LibLogon.h"
#include "LibPosix_linux.h"
#include "LibWide.h"

namespace {

constexpr const char* kPamService = "kestrel";

// A narrow copy of a secret, wiped when it goes. Converted character by character so that no
// intermediate string holds the secret unwiped.
class SecretBuffer {
  public:
    explicit SecretBuffer(std::wstring_view text) {
        data_.reserve(text.size() * MB_CUR_MAX + 1);
        std::mbstate_t st{};
        char buf[MB_LEN_MAX];
        for (wchar_t wc : text) {
            size_t r = std::wcrtomb(buf, wc, &st);
            if (r == static_cast<size_t>(-1)) {
                // Not encodable in this locale: such a password cannot match anything PAM holds.
                data_.push_back('?');
                st = std::mbstate_t{};
                continue;
            }
            for (size_t k = 0; k < r; ++k) data_.push_back(buf[k]);
        }
        explicit_bzero(buf, sizeof buf);
        data_.push_back('\0');
    }
    ~SecretBuffer() { explicit_bzero(data_.data(), data_.capacity()); }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;
    const char* c_str() const { return data_.data(); }
    // Compares in time that depends only on the lengths, not on where the texts differ.
    bool Equals(const SecretBuffer& other) const {
        if (data_.size() != other.data_.size()) return false;
        unsigned char diff = 0;
        for (size_t i = 0; i < data_.size(); ++i)
            diff |= static_cast<unsigned char>(data_[i] ^ other.data_[i]);
        return diff == 0;
    }

  private:
    std::vector<char> data_;
};

std::atomic<uint64_t> g_authentications{0};

// One successful log-on kept by a TernLogonReuseScope.
struct KeptLogon {
    KeptLogon(std::wstring_view u, std::wstring_view d, std::wstring_view password, TernLogonType t)
        : user(u), domain(d), type(t), secret(password) {}
    std::wstring user;
    std::wstring domain;
    TernLogonType type;
    SecretBuffer secret;  // wiped when the entry goes
    TernAccount account;
};

}  // namespace

struct TernKeptLogons {
    std::vector<std::unique_ptr<KeptLogon>> entries;
};

namespace {

// The log-ons kept on this thread while a scope lives (null otherwise); owned by the outermost scope.
thread_local TernKeptLogons* t_kept = nullptr;

struct ConversationData {
    const char* password;
    bool answered;
};

// Answers the first password prompt with the password and refuses any further one, so a module that
// asks again (e.g. for a new password) cannot loop on the same secret. Informational messages pass.
int Converse(int count, const struct pam_message** messages, struct pam_response** responses, void* appData) {
    auto* data = static_cast<ConversationData*>(appData);
    if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
    auto* replies = static_cast<pam_response*>(calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (!replies) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        switch (messages[i]->msg_style) {
            case PAM_PROMPT_ECHO_OFF:
                if (!data->answered) {
                    replies[i].resp = strdup(data->password);
                    data->answered = true;
                    if (replies[i].resp) break;
                }
                [[fallthrough]];
            case PAM_PROMPT_ECHO_ON:
                for (int k = 0; k < i; ++k) {
                    if (replies[k].resp) {
                        explicit_bzero(replies[k].resp, strlen(replies[k].resp));
                        free(replies[k].resp);
                    }
                }
                free(replies);
                return PAM_CONV_ERR;
            default:  // PAM_ERROR_MSG, PAM_TEXT_INFO: nothing to answer
                break;
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

// Owns one PAM transaction; pam_end runs with the last result, whatever path leaves.
class PamTransaction {
  public:
    PamTransaction() = default;
    ~PamTransaction() {
        if (handle_) pam_end(handle_, last_);
    }
    PamTransaction(const PamTransaction&) = delete;
    PamTransaction& operator=(const PamTransaction&) = delete;

    int Start(const char* user, const pam_conv* conv) {
        return last_ = pam_start(kPamService, user, conv, &handle_);
    }
    int Authenticate() { return last_ = pam_authenticate(handle_, PAM_DISALLOW_NULL_AUTHTOK); }
    int AccountManagement() { return last_ = pam_acct_mgmt(handle_, PAM_DISALLOW_NULL_AUTHTOK); }

  private:
    pam_handle_t* handle_ = nullptr;
    int last_ = PAM_SUCCESS;
};

bool LookUpAccount(const std::string& name, TernAccount& account) {
    tern_posix::PasswdEntry entry;
    if (tern_posix::LookUpAccount(name, entry) != 0) return false;
    account.uid = entry.uid;
    account.gid = entry.gid;
    account.name = std::move(entry.name);
    account.home = std::move(entry.home);
    account.shell = std::move(entry.shell);
    return true;
}

bool GroupList(const TernAccount& account, std::vector<uint32_t>& groups) {
    std::vector<gid_t> list;
    if (!tern_posix::LookUpGroups(account.name, account.gid, list)) return false;
    groups.assign(list.begin(), list.end());
    return true;
}

// getusershell keeps its position in process-wide state.
std::mutex g_shellMutex;

bool IsLoginShell(const std::string& shell) {
    std::lock_guard<std::mutex> lock(g_shellMutex);
    bool listed = false;
    setusershell();
    while (const char* entry = getusershell()) {
        if (shell == entry) {
            listed = true;
            break;
        }
    }
    endusershell();
    return listed;
}

std::wstring ShortHostName() {
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0) return {};
    std::string_view name(host);
    name = name.substr(0, name.find('.'));
    return TernMbToWide(name);
}

uint32_t PamAccountError(int rc) {
    switch (rc) {
        case PAM_ACCT_EXPIRED:
            return TERN_ERROR_ACCOUNT_EXPIRED;
        case PAM_NEW_AUTHTOK_REQD:
            return TERN_ERROR_PASSWORD_MUST_CHANGE;
        case PAM_USER_UNKNOWN:
            return TERN_ERROR_LOGON_FAILURE;
        default:
            return TERN_ERROR_ACCOUNT_RESTRICTION;
    }
}

}  // namespace

std::vector<std::string> TernLogonNames(std::wstring_view user, std::wstring_view domain) {
    std::string narrowUser = TernWideToMb(user);
    if (domain.empty() || TernEqualsNoCase(domain, ShortHostName())) return {narrowUser};
    std::string narrowDomain = TernWideToMb(domain);
    return {narrowDomain + "\\" + narrowUser, narrowUser + "@" + narrowDomain};
}

CKestrelStatus TernLogonUser(std::wstring_view user, std::wstring_view domain, std::wstring_view password,
                             TernLogonType type, TernAccount& account) {
    if (t_kept) {
        SecretBuffer offered(password);
        for (const std::unique_ptr<KeptLogon>& kept : t_kept->entries) {
            if (kept->type == type && kept->user == user && kept->domain == domain &&
                kept->secret.Equals(offered)) {
                account = kept->account;
                TernSetLastError(0);
                CKestrelStatus status;
                status.Clear();
                return status;
            }
        }
    }
    TernAccount found;
    bool known = false;
    if (!user.empty()) {
        for (const std::string& name : TernLogonNames(user, domain)) {
            if (LookUpAccount(name, found)) {
                known = true;
                break;
            }
        }
    }
    if (!known) {
        TERN_TRACE(L"(%d) getpwnam_r found no account.", static_cast<int>(TERN_ERROR_LOGON_FAILURE));
        return tern_posix::Fail(TERN_ERROR_LOGON_FAILURE);
    }

    SecretBuffer secret(password);
    ConversationData data{secret.c_str(), false};
    const pam_conv conversation{&Converse, &data};
    PamTransaction pam;
    int rc = pam.Start(found.name.c_str(), &conversation);
    if (rc != PAM_SUCCESS) {
        TERN_TRACE(L"(%d) pam_start failed (%S).", static_cast<int>(TERN_ERROR_INTERNAL_ERROR),
                   pam_strerror(nullptr, rc));
        return tern_posix::Fail(TERN_ERROR_INTERNAL_ERROR);
    }
    g_authentications.fetch_add(1, std::memory_order_relaxed);
    rc = pam.Authenticate();
    if (rc != PAM_SUCCESS) {
        // Every authentication failure reads as a bad user name or password, as a log-on would say.
        uint32_t error = (rc == PAM_ABORT || rc == PAM_BUF_ERR || rc == PAM_SYSTEM_ERR)
                             ? TERN_ERROR_INTERNAL_ERROR
                             : TERN_ERROR_LOGON_FAILURE;
        TERN_TRACE(L"(%d) pam_authenticate failed (%d).", static_cast<int>(error), rc);
        return tern_posix::Fail(error);
    }
    rc = pam.AccountManagement();
    if (rc != PAM_SUCCESS) {
        uint32_t error = PamAccountError(rc);
        TERN_TRACE(L"(%d) pam_acct_mgmt failed (%d).", static_cast<int>(error), rc);
        return tern_posix::Fail(error);
    }
    if (type == TernLogonType::kInteractive && !IsLoginShell(found.shell)) {
        TERN_TRACE(L"(%d) Account has no login shell for an interactive log-on.",
                   static_cast<int>(TERN_ERROR_LOGON_TYPE_NOT_GRANTED));
        return tern_posix::Fail(TERN_ERROR_LOGON_TYPE_NOT_GRANTED);
    }
    // The runner switches to these groups; read once here rather than before every command. A failure
    // leaves the list empty and the runner asks again (and reports it).
    if (!GroupList(found, found.groups)) found.groups.clear();
    if (t_kept) {
        auto kept = std::make_unique<KeptLogon>(user, domain, password, type);
        kept->account = found;
        t_kept->entries.push_back(std::move(kept));
    }
    account = std::move(found);
    TernSetLastError(0);
    CKestrelStatus status;
    status.Clear();
    return status;
}

CKestrelStatus TernAccountGroups(const TernAccount& account, std::vector<uint32_t>& groups) {
    std::vector<uint32_t> list;
    if (!GroupList(account, list)) {
        TERN_TRACE(L"(%d) getgrouplist failed.", static_cast<int>(TERN_ERROR_INSUFFICIENT_BUFFER));
        return tern_posix::Fail(TERN_ERROR_INSUFFICIENT_BUFFER);
    }
    groups = std::move(list);
    CKestrelStatus status;
    status.Clear();
    return status;
}

TernLogonReuseScope::TernLogonReuseScope() {
    if (t_kept) return;
    kept_ = std::make_unique<TernKeptLogons>();
    t_kept = kept_.get();
}

TernLogonReuseScope::~TernLogonReuseScope() {
    if (kept_) t_kept = nullptr;  // kept_ goes next; each entry wipes its password
}

uint64_t TernLogonAuthentications() {
    return g_authentications.load(std::memory_order_relaxed);
}
