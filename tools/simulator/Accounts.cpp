#include "Accounts.h"

#include "RecordTable.h"
#include "Signature.h"

namespace cssim {
namespace {

const char* const kRootDomainId = "8c682961-f32e-4d08-a61a-6e2fdec2d9d7";
const char* const kAdminUserId = "c0af26a7-7b31-4dd1-8597-749503c49a29";
const char* const kAdminAccountId = "550c68f9-5da2-4299-8225-e91853601d7e";

/// Drops slashes at both ends and a leading "ROOT": "/ROOT/customers/acme/" and "customers/acme" name one domain.
std::string RelativePath(std::string path) {
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    while (!path.empty() && path.back() == '/') path.pop_back();
    if (path == "ROOT") return {};
    if (path.rfind("ROOT/", 0) == 0) return path.substr(5);
    return path;
}

}  // namespace

std::string DerivedUserKey(const std::string& purpose, const std::string& userId) {
    std::string key = HmacSha512Base64(purpose, userId);
    while (!key.empty() && key.back() == '=') key.pop_back();
    for (char& c : key) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    return key;
}

Directory::Directory(const Inventory& inventory, const std::string& adminUser, const std::string& adminPassword) {
    for (const Json& record : inventory.domains) {
        Domain domain;
        domain.id = StringMember(record, "id");
        domain.name = StringMember(record, "name");
        domain.path = StringMember(record, "path");
        if (domain.path.empty()) domain.path = domain.name;
        domain.number = static_cast<int>(domains_.size()) + 1;
        domains_.push_back(std::move(domain));
    }
    if (domains_.empty() || RelativePath(domains_.front().path) != "") {
        domains_.insert(domains_.begin(), Domain{kRootDomainId, "ROOT", "ROOT", 1});
        for (std::size_t i = 0; i < domains_.size(); ++i) domains_[i].number = static_cast<int>(i) + 1;
    }

    for (const Json& record : inventory.users) {
        User user;
        user.id = StringMember(record, "id");
        user.username = StringMember(record, "username");
        user.password = StringMember(record, "password");
        user.firstname = StringMember(record, "firstname");
        user.lastname = StringMember(record, "lastname");
        user.account = StringMember(record, "account");
        user.accountId = StringMember(record, "accountid");
        const auto typeMember = record.find("accounttype");
        const int type = typeMember != record.end() && typeMember->is_number_integer() ? typeMember->get<int>() : 0;
        user.accountType = type == 1   ? AccountType::RootAdmin
                           : type == 2 ? AccountType::DomainAdmin
                                       : AccountType::User;
        const std::string domainId = StringMember(record, "domainid");
        user.domain = domains_.front();
        for (const Domain& domain : domains_) {
            if (domain.id == domainId) user.domain = domain;
        }
        user.apiKey = StringMember(record, "apikey");
        user.secretKey = StringMember(record, "secretkey");
        users_.push_back(std::move(user));
    }
    admin_ = users_.size();
    for (std::size_t i = 0; i < users_.size() && admin_ == users_.size(); ++i) {
        if (users_[i].accountType == AccountType::RootAdmin && users_[i].domain.id == domains_.front().id) admin_ = i;
    }
    if (admin_ == users_.size()) {
        User admin;
        admin.id = kAdminUserId;
        admin.firstname = "Admin";
        admin.lastname = "User";
        admin.accountId = kAdminAccountId;
        admin.accountType = AccountType::RootAdmin;
        admin.domain = domains_.front();
        users_.insert(users_.begin(), std::move(admin));
        admin_ = 0;
    }
    for (User& user : users_) {
        if (user.apiKey.empty()) user.apiKey = DerivedUserKey("apikey", user.id);
        if (user.secretKey.empty()) user.secretKey = DerivedUserKey("secretkey", user.id);
    }
    SetAdminCredentials(adminUser, adminPassword);
}

void Directory::SetAdminCredentials(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The account follows the user name, so that a renamed admin sees what that account owns.
    users_[admin_].username = user;
    users_[admin_].account = user;
    users_[admin_].password = password;
}

void Directory::SetAdminKeys(const std::string& apiKey, const std::string& secretKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    users_[admin_].apiKey = apiKey;
    users_[admin_].secretKey = secretKey;
}

std::optional<Domain> Directory::LoginDomain(const std::string* path, const std::string* domainId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    // domainId wins over a path, as on the server.
    if (domainId != nullptr && !domainId->empty()) {
        for (const Domain& domain : domains_) {
            if (domain.id == *domainId) return domain;
        }
        return std::nullopt;
    }
    const std::string wanted = path == nullptr ? std::string() : RelativePath(*path);
    for (const Domain& domain : domains_) {
        if (RelativePath(domain.path) == wanted) return domain;
    }
    return std::nullopt;
}

std::optional<User> Directory::Authenticate(const std::string& username, const std::string& password,
                                            const Domain& domain) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const User& user : users_) {
        if (user.username == username && user.domain.id == domain.id && user.password == password) return user;
    }
    return std::nullopt;
}

std::optional<User> Directory::FindByApiKey(const std::string& apiKey) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const User& user : users_) {
        if (!apiKey.empty() && user.apiKey == apiKey) return user;
    }
    return std::nullopt;
}

std::vector<User> Directory::Users() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<User> users;
    users.push_back(users_[admin_]);
    for (std::size_t i = 0; i < users_.size(); ++i) {
        if (i != admin_) users.push_back(users_[i]);
    }
    return users;
}

}  // namespace cssim
