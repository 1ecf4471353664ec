#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Inventory.h"

// Domains, accounts and users: who may log in where, and whose API key signs a request.
namespace cssim {

struct Domain {
    std::string id;
    std::string name;
    std::string path;  // "ROOT", "ROOT/customers/acme"
    int number{1};     // the server's internal id, which its login errors quote
};

enum class AccountType { User = 0, RootAdmin = 1, DomainAdmin = 2 };

/// A user as the simulator knows it, with its account and domain resolved.
struct User {
    std::string id;
    std::string username;
    std::string password;
    std::string firstname;
    std::string lastname;
    std::string account;
    std::string accountId;
    AccountType accountType{AccountType::User};
    Domain domain;
    std::string apiKey;
    std::string secretKey;
};

/// The users of the inventory and their domains. Every member is safe to call from any thread.
class Directory {
public:
    /// @brief Reads the "domains" and "users" records of @p inventory; a missing ROOT domain or root admin is made
    /// up. The first root admin of ROOT takes @p adminUser and @p adminPassword as user, account and password.
    Directory(const Inventory& inventory, const std::string& adminUser, const std::string& adminPassword);

    /// @brief Renames the root admin (user and account) and sets its password.
    void SetAdminCredentials(const std::string& user, const std::string& password);

    /// @brief Replaces the root admin's API key and secret key.
    void SetAdminKeys(const std::string& apiKey, const std::string& secretKey);

    /// @brief The domain a login names with domain=<path> or domainId=<uuid>; ROOT when it names none.
    std::optional<Domain> LoginDomain(const std::string* path, const std::string* domainId) const;

    /// @brief The user of @p domain with this name and password.
    std::optional<User> Authenticate(const std::string& username, const std::string& password,
                                     const Domain& domain) const;

    /// @brief The user whose API key is @p apiKey.
    std::optional<User> FindByApiKey(const std::string& apiKey) const;

    /// @brief Every user, the root admin first.
    std::vector<User> Users() const;

private:
    mutable std::mutex mutex_;
    std::vector<Domain> domains_;
    std::vector<User> users_;
    std::size_t admin_{0};
};

/// @brief A key for @p userId that stays the same on every run: 86 characters of URL-safe Base64, like the
/// server's. @p purpose ("apikey", "secretkey") makes the two keys of a user differ.
std::string DerivedUserKey(const std::string& purpose, const std::string& userId);

}  // namespace cssim
