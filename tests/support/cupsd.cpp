#include "cupsd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <thread>

namespace quillet::test {

int free_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

PrivateCupsd::PrivateCupsd(int port) : port_(port)
{
    chmod(dir_.path().c_str(), 0755);
    for (const char *d : {"etc", "spool", "tmp", "cache", "state", "log", "out"})
        std::filesystem::create_directories(dir_.file(d));
    chmod(dir_.file("tmp").c_str(), 01777);
    chmod(dir_.file("out").c_str(), 0755);
    write_file(dir_.file("etc/cups-files.conf"),
               "ServerRoot " + dir_.file("etc") + "\nRequestRoot " + dir_.file("spool") + "\nTempDir " +
                   dir_.file("tmp") + "\nCacheDir " + dir_.file("cache") + "\nStateDir " + dir_.file("state") +
                   "\nAccessLog " + dir_.file("log/access_log") + "\nErrorLog " + dir_.file("log/error_log") +
                   "\nPageLog " + dir_.file("log/page_log") +
                   "\nFileDevice Yes\nServerBin /usr/lib/cups\nDataDir /usr/share/cups\n");
    write_file(dir_.file("etc/cupsd.conf"),
               "Listen " + host() +
                   "\nLogLevel debug\nMaxLogSize 0\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                   "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                   "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
    // Running means answering an IPP request: a list of printers, or that
    // there are none yet.
    write_file(dir_.file("answers.test"),
               "{\nOPERATION CUPS-Get-Printers\nGROUP operation-attributes-tag\n"
               "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
               "STATUS successful-ok\nSTATUS client-error-not-found\n}\n");
    process_ = std::make_unique<Process>("/usr/sbin/cupsd", RunOptions({"-f", "-c", dir_.file("etc/cupsd.conf"), "-s",
                                                                        dir_.file("etc/cups-files.conf")}));
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
        Process probe("/usr/bin/ipptool", RunOptions({"-q", "ipp://" + host() + "/", dir_.file("answers.test")}));
        if ((running_ = probe.finish(std::chrono::seconds(10)).status == 0))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

PrivateCupsd::~PrivateCupsd()
{
    process_->signal(SIGTERM);
    process_->finish(std::chrono::seconds(20));
}

std::string PrivateCupsd::error_log() const
{
    auto log = read_file(dir_.file("log/error_log"));
    return {log.begin(), log.end()};
}

}  // namespace quillet::test
