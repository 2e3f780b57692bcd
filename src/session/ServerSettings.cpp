#include "session/ServerSettings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace quarvel {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

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
    ServerAccess& access = settings.access;
    const bool userTold = !told.username.empty();
    const bool tokenTold = !told.token.empty() || !told.tokenFile.empty();
    if (userTold && tokenTold) {
        error = "a user name and a token do not go together; name one of them";
        return false;
    }
    // A login given as an option wins over one in the environment; there, a user wins over a token.
    if (tokenTold) {
        if (!told.tokenFile.empty() && !ReadSecretFile(told.tokenFile, access.token, error)) return false;
        if (told.tokenFile.empty()) access.token = told.token;
    } else {
        access.username = userTold ? told.username : Environment("INFLUX_USERNAME");
        if (access.username.empty()) access.token = Environment("INFLUX_TOKEN");
    }
    if (!access.username.empty()) {
        if (!told.passwordFile.empty()) {
            if (!ReadSecretFile(told.passwordFile, access.password, error)) return false;
        } else {
            access.password = Environment("INFLUX_PASSWORD");
        }
    }
    access.caCertFile = told.caCertFile;
    access.insecure = told.insecure;
    std::vector<std::string> urls = told.urls;
    if (urls.empty() && !Environment("QUARVEL_INFLUX_URL").empty()) urls.push_back(Environment("QUARVEL_INFLUX_URL"));
    if (urls.empty()) urls.emplace_back(kDefaultInfluxUrl);
    settings.url = TakeUserInfo(urls.front(), access);
    settings.moreUrls.clear();
    for (size_t i = 1; i < urls.size(); ++i) settings.moreUrls.push_back(TakeUserInfo(urls[i], access));
    if (!told.consistency.empty()) {
        if (told.consistency != "any" && told.consistency != "one" && told.consistency != "quorum" &&
            told.consistency != "all") {
            error = "the write consistency is any, one, quorum or all, not " + told.consistency;
            return false;
        }
        settings.consistency = told.consistency;
    }
    if (told.timeoutSeconds) {
        if (*told.timeoutSeconds < 1) {
            error = "the time-out must be at least 1 second";
            return false;
        }
        settings.timeoutSeconds = *told.timeoutSeconds;
    }
    if (told.maxRefusals) {
        if (*told.maxRefusals < 1) {
            error = "--max-refusals must be at least 1";
            return false;
        }
        settings.maxRefusals = *told.maxRefusals;
    }
    return true;
}

}  // namespace quarvel
