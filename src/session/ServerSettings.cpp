#include "session/ServerSettings.h"

#include "influx/Unsent.h"
#include "platform/CodePage.h"
#include "platform/Ini.h"
#include "session/Session.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace quarvel {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

// A secret of the environment, else the first line of the service credential of that name
// ($CREDENTIALS_DIRECTORY/<credential>, handed over by the service manager); an absent
// credential or an empty first line names none.
std::string SecretAround(const char* variable, const char* credential) {
    std::string secret = Environment(variable);
    const std::string credentials = Environment("CREDENTIALS_DIRECTORY");
    std::string ignored;
    if (secret.empty() && !credentials.empty() && !ReadSecretFile(credentials + "/" + credential, secret, ignored))
        secret.clear();
    return secret;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// What the configuration file says; empty or unset: not said.
struct FileSettings {
    ServerOptions server;  // token stays empty
    std::optional<bool> insecure;
};

// The keys of [server], read into `file`; each tells why its value makes no sense (naming
// the key, never a secret), or nothing when it was taken.
class ConfigReader {
public:
    ConfigReader(const std::string& path, FileSettings& file)
        : m_folder(std::filesystem::path(path).parent_path()), m_file(file) {}

    std::string Take(const std::string& key, const std::string& value) {
        ServerOptions& server = m_file.server;
        const std::string name = Lower(key);
        if (name == "password" || name == "token")
            return "a " + name +
                   " is not written in the configuration file; put it alone in a file of its own and name that "
                   "file with " +
                   name + "-file";
        if (value.empty()) return {};  // "key=" says nothing
        if (name == "url") return Urls(value);
        if (name == "username") return Text({}, value, server.username);
        if (name == "password-file") return Text({}, Path(value), server.passwordFile);
        if (name == "token-file") return Text({}, Path(value), server.tokenFile);
        if (name == "ca-cert") return Text({}, Path(value), server.caCertFile);
        if (name == "insecure") return YesOrNo(key, value, m_file.insecure);
        if (name == "gzip") return YesOrNo(key, value, server.gzip);
        if (name == "consistency") return Text(ConsistencyProblem(value), value, server.consistency);
        if (name == "codepage") return Text(CodePageProblem(value), value, server.codePage);
        if (name == "shard-duration") return Text(ShardDurationProblem(value), value, server.shardDuration);
        if (name == "server-kind") return Text(ServerKindProblem(value), Lower(value), server.serverKind);
        if (name == kJobs.key) return Number(kJobs, value, server.jobs);
        if (name == kMaxRate.key) return Number(kMaxRate, value, server.maxRate);
        if (name == kMaxInFlight.key) return Number(kMaxInFlight, value, server.maxInFlight);
        if (name == kMaxRefusals.key) return Number(kMaxRefusals, value, server.maxRefusals);
        if (name == kTimeout.key) return Number(kTimeout, value, server.timeoutSeconds);
        return "[server] has no key " + key +
               " (it has url, username, password-file, token-file, ca-cert, insecure, consistency, gzip, jobs, "
               "max-rate, max-in-flight, codepage, timeout, max-refusals, shard-duration and server-kind)";
    }

private:
    // Relative to the file's folder.
    std::string Path(const std::string& value) const {
        const std::filesystem::path path(value);
        return path.is_absolute() ? value : (m_folder / path).string();
    }

    std::string Urls(const std::string& value) {
        size_t at = 0;
        while (at < value.size()) {
            const size_t end = value.find_first_of(" \t,", at);
            std::string url = value.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? value.size() : end + 1;
            if (url.empty()) continue;
            ServerAccess login;
            if (TakeUserInfo(url, login) != url || login.HasLogin())
                return "a URL in the configuration file carries no login (" + RedactUrl(url) +
                       "); name the user with username and the password with password-file";
            m_file.server.urls.push_back(std::move(url));
        }
        return {};
    }

    static std::string YesOrNo(const std::string& key, const std::string& value, std::optional<bool>& into) {
        const std::string word = Lower(value);
        const bool yes = word == "true" || word == "yes" || word == "1";
        if (!yes && word != "false" && word != "no" && word != "0")
            return key + " is true, false, yes, no, 1 or 0, not " + value;
        into = yes;
        return {};
    }

    static std::string Text(const std::string& problem, const std::string& value, std::string& into) {
        if (problem.empty()) into = value;
        return problem;
    }

    template <typename Int>
    static std::string Number(const NumberSetting& setting, const std::string& value, std::optional<Int>& into) {
        long number = 0;
        std::string problem = NumberProblem(setting, value, number);
        if (problem.empty()) into = static_cast<Int>(number);
        return problem;
    }

    const std::filesystem::path m_folder;
    FileSettings& m_file;
};

// Which configuration file to read: the one named, which must exist, else the user's if
// there is one. False with `error` when the named one does not exist.
bool FindConfigFile(const std::string& named, std::string& path, std::string& error) {
    std::error_code ignored;
    if (!named.empty()) {
        if (!std::filesystem::exists(named, ignored)) {
            error = "the configuration file " + named + " does not exist";
            return false;
        }
        path = named;
        return true;
    }
    path = UserConfigFile();
    if (!path.empty() && !std::filesystem::exists(path, ignored)) path.clear();
    return true;
}

bool ReadConfigFile(const std::string& path, FileSettings& file, std::string& error) {
    std::vector<platform::IniEntry> entries;
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        error = "the configuration file " + path + " is a folder";
        return false;
    }
    if (!platform::GetPrivateProfileSection("server", path, entries)) {
        error = "cannot read the configuration file " + path + ": " + std::strerror(errno);
        return false;
    }
    ConfigReader reader(path, file);
    std::vector<std::string> seen;
    for (const platform::IniEntry& entry : entries) {
        // As with every INI value, the first of a key written twice counts.
        const std::string name = Lower(entry.key);
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
        seen.push_back(name);
        if (const std::string problem = reader.Take(entry.key, entry.value); !problem.empty()) {
            error = path + ": " + problem;
            return false;
        }
    }
    const ServerOptions& server = file.server;
    if (!server.username.empty() && !server.tokenFile.empty()) {
        error = path + ": username and token-file do not go together; name one of them";
        return false;
    }
    return true;
}

// Whether a server's URL (without its user information) is one the posts can go to.
bool IsHttpUrl(const std::string& url) {
    const std::string scheme = Lower(url.substr(0, url.find("://") + 3));
    return (scheme == "http://" || scheme == "https://") && !UrlHost(url).empty();
}

}  // namespace

std::string ConsistencyProblem(const std::string& value) {
    if (std::find(kConsistencies.begin(), kConsistencies.end(), value) != kConsistencies.end()) return {};
    return "consistency is any, one, quorum or all, not " + value;
}

std::string ServerKindProblem(const std::string& value) {
    if (std::find(kServerKinds.begin(), kServerKinds.end(), Lower(value)) != kServerKinds.end()) return {};
    return "server-kind is influxdb or victoriametrics, not " + value;
}

std::string CodePageProblem(const std::string& value) {
    std::string ignored;
    return platform::ConvertToUtf8("", value, ignored) ? std::string() : "unknown code page: " + value;
}

std::string ShardDurationProblem(const std::string& value) {
    if (IsDurationLiteral(value)) return {};
    return "shard-duration is a whole number and a unit such as 52w or 30d, not " + value;
}

std::string NumberProblem(const NumberSetting& setting, const std::string& value, long& number) {
    number = 0;
    bool whole = value.size() <= 9;
    for (char c : value) {
        whole = whole && c >= '0' && c <= '9';
        if (whole) number = number * 10 + (c - '0');
    }
    if (whole && number >= setting.low && number <= setting.high) return {};
    return std::string(setting.key) + " is a whole number from " + std::to_string(setting.low) + " to " +
           std::to_string(setting.high) + ", not " + value;
}

std::string UserConfigFile() {
    std::string base = Environment("XDG_CONFIG_HOME");
    if (base.empty() || base.front() != '/') {
        const std::string home = Environment("HOME");
        if (home.empty()) return {};
        base = home + "/.config";
    }
    return base + "/quarvel/" + kConfigFileName;
}

bool ReadSecretFile(const std::string& path, std::string& secret, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::getline(file, secret);
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    return true;
}

bool ResolveServer(const ServerOptions& told, ServerSettings& settings, std::string& error) {
    std::string configFile;
    if (!FindConfigFile(told.configFile, configFile, error)) return false;
    FileSettings file;
    if (!configFile.empty() && !ReadConfigFile(configFile, file, error)) return false;
    settings.configFile = configFile;
    const ServerOptions& filed = file.server;

    // The servers: the flags', else the environment's, else the file's. A login in the
    // URLs counts as named where the URLs come from, after that place's user or token.
    enum Place { kFlags, kEnvironment, kFile };
    std::vector<std::string> urls = told.urls;
    Place urlsFrom = kFlags;
    if (urls.empty() && !Environment("QUARVEL_INFLUX_URL").empty()) {
        urls.push_back(Environment("QUARVEL_INFLUX_URL"));
        urlsFrom = kEnvironment;
    }
    if (urls.empty()) {
        urls = filed.urls;  // without logins: the file was refused otherwise
        urlsFrom = kFile;
    }
    if (urls.empty()) urls.emplace_back(kDefaultInfluxUrl);
    ServerAccess urlLogin;
    for (std::string& url : urls) url = TakeUserInfo(url, urlLogin);
    if (const auto bad = std::find_if_not(urls.begin(), urls.end(), IsHttpUrl); bad != urls.end()) {
        const std::string from[] = {"--url ", "QUARVEL_INFLUX_URL=", configFile + ": url "};
        error = from[urlsFrom] + *bad + " is not an http or https URL";
        return false;
    }
    settings.url = urls.front();
    settings.moreUrls.assign(urls.begin() + 1, urls.end());

    ServerAccess& access = settings.access;
    access = ServerAccess{};
    const bool userTold = !told.username.empty();
    const bool tokenTold = !told.token.empty() || !told.tokenFile.empty();
    if (userTold && tokenTold) {
        error = "a user name and a token do not go together; name one of them";
        return false;
    }
    // The login comes whole from the first place that names one: flags, environment, file.
    const std::string userAround = Environment("INFLUX_USERNAME");
    const std::string tokenAround = SecretAround("INFLUX_TOKEN", "token");
    const bool aroundNamed = !userAround.empty() || !tokenAround.empty();
    const bool urlLoginCounts =
        urlLogin.HasLogin() && (urlsFrom == kFlags || (urlsFrom == kEnvironment && !aroundNamed));
    if (tokenTold) {
        if (!told.tokenFile.empty() && !ReadSecretFile(told.tokenFile, access.token, error)) return false;
        if (told.tokenFile.empty()) access.token = told.token;
    } else if (userTold) {
        access.username = told.username;
    } else if (urlLoginCounts) {
        access.username = urlLogin.username;
        access.password = urlLogin.password;
    } else if (!userAround.empty()) {
        access.username = userAround;
    } else if (!tokenAround.empty()) {
        access.token = tokenAround;
    } else if (!filed.username.empty()) {
        access.username = filed.username;
    } else if (!filed.tokenFile.empty() && !ReadSecretFile(filed.tokenFile, access.token, error)) {
        return false;
    }
    if (!access.username.empty() && access.password.empty()) {
        const std::string passwordAround = SecretAround("INFLUX_PASSWORD", "password");
        // The file's password-file is of the file's user, or of any when it names none.
        const bool filedFits = filed.username.empty() || filed.username == access.username;
        if (!told.passwordFile.empty()) {
            if (!ReadSecretFile(told.passwordFile, access.password, error)) return false;
        } else if (!passwordAround.empty()) {
            access.password = passwordAround;
        } else if (!filed.passwordFile.empty() && filedFits) {
            if (!ReadSecretFile(filed.passwordFile, access.password, error)) return false;
        }
    }
    access.caCertFile = !told.caCertFile.empty() ? told.caCertFile : filed.caCertFile;
    access.insecure = told.insecure || file.insecure.value_or(false);
    const std::string kind = told.serverKind.empty() ? filed.serverKind : told.serverKind;
    access.kind = kind == kServerKinds[0]   ? ServerKind::kInfluxDB
                  : kind == kServerKinds[1] ? ServerKind::kVictoriaMetrics
                                            : ServerKind::kUnknown;

    // The flags' values were checked by the front end, the file's as it was read.
    auto either = [](const std::string& flagged, const std::string& inFile) {
        return flagged.empty() ? inFile : flagged;
    };
    settings.consistency = either(told.consistency, filed.consistency);
    settings.codePage = either(told.codePage, filed.codePage);
    if (const std::string shard = either(told.shardDuration, filed.shardDuration); !shard.empty())
        settings.shardDuration = shard;
    settings.timeoutSeconds = told.timeoutSeconds.value_or(filed.timeoutSeconds.value_or(kTimeout.fallback));
    settings.maxRefusals = told.maxRefusals.value_or(filed.maxRefusals.value_or(kMaxRefusals.fallback));
    settings.gzip = told.gzip ? told.gzip : filed.gzip;
    settings.jobs = told.jobs ? told.jobs : filed.jobs;
    settings.maxRate = told.maxRate ? told.maxRate : filed.maxRate;
    settings.maxInFlight =
        told.maxInFlight.value_or(filed.maxInFlight.value_or(static_cast<int>(kMaxInFlight.fallback)));
    return true;
}

void ApplyServerSettings(const ServerSettings& settings, InfluxTarget& target) {
    target.baseUrl = settings.url;
    target.moreUrls = settings.moreUrls;
    target.consistency = settings.consistency;
    target.access = settings.access;
    target.timeouts.stallSeconds = settings.timeoutSeconds;
    target.codePage = settings.codePage;
    target.maxInFlight = settings.maxInFlight;
}

void BuildSessionOptions(const ServerSettings& settings, SessionOptions& options) {
    ApplyServerSettings(settings, options.target);
    const int jobs = settings.jobs.value_or(static_cast<int>(kJobs.fallback));
    options.jobs = jobs > 0 ? jobs : DefaultJobs();
    options.gzip = settings.gzip;
    options.maxRate = static_cast<uint64_t>(settings.maxRate.value_or(kMaxRate.fallback));
    options.maxRefusals = settings.maxRefusals;
    options.shardDuration = settings.shardDuration;
}

std::string RefusalStopText(int refusals, const std::string& why, const std::string& resume) {
    return std::to_string(refusals) + " batches in a row were refused (" + why + "); they are saved in " +
           kUnsentFolder + "/. Once the cause is fixed, convert again with " + resume + " for the rest";
}

}  // namespace quarvel
