// What the printer application's tests share: a server on loopback (one for
// the App tests, or one of a test's own), a printer created over IPP, jobs
// sent by ipptool, and the streams it writes decoded and compared with what
// was sent.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstring>
#include <map>
#include <memory>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "cupsd.h"
#include "expect.h"
#include "files.h"
#include "process.h"
#include "raster.h"
#include "page_plan.h"
#include "stream.h"

using namespace quillet::test;
namespace record_type = quillet::record_type;
using quillet::BandRecord;
using quillet::Bih;
using quillet::put_u32;
using quillet::unpack;
namespace fs = std::filesystem;

namespace quillet::app_test {

inline const std::string Samples = QUILLET_DOCUMENTS;
constexpr const char *Password = "Quillet2admin";
// The start of an ipptool request to the printer from root; its operation
// and attributes follow.
inline const std::string RootRequest = "{\nGROUP operation-attributes-tag\nATTR charset attributes-charset utf-8\n"
                                "ATTR naturalLanguage attributes-natural-language en\nATTR uri printer-uri $uri\n"
                                "ATTR name requesting-user-name root\n";

// The file a file printer in folder wrote for the job named name: the
// job's number, then its name ("12-name.prn", or "12.1-name.prn" when the
// first was taken); empty when there is none.
inline std::string output_of(const std::string &folder, const std::string &name)
{
    std::error_code missing;
    const std::string suffix = "-" + name + ".prn";
    for (const auto &entry : fs::directory_iterator(folder, missing)) {
        const std::string file = entry.path().filename().string();
        if (fs::is_regular_file(entry.symlink_status()) && file.size() > suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            file.find_first_not_of("0123456789.") == file.size() - suffix.size())
            return entry.path().string();
    }
    return {};
}


inline RunResult run(const std::string &program, const std::vector<std::string> &args)
{
    Process p(program, RunOptions(args));
    return p.finish(std::chrono::seconds(120));
}

inline bool port_answers(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

inline bool socket_answers(const std::string &path)
{
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Whether the server takes requests: it listens on its port before its
// local socket exists, and serves both only after.
inline bool serving(int port, const std::string &runtime_dir)
{
    return socket_answers(runtime_dir + "/quillet-printer-app.sock") && port_answers(port);
}

// An 8-bit grey PWG raster page of black and white pixels only, so that the
// printer's black pixels are exactly the input's.
struct GreyPage {
    unsigned width, height, dpi, dpi_y;
    std::string media;
    std::vector<uint8_t> grey;  // width x height, 0 black, 255 white
};

inline GreyPage grey_page(const std::string &media, unsigned dpi, uint32_t seed, unsigned dpi_y = 0)
{
    pwg_media_t *size = pwgMediaForPWG(media.c_str());
    dpi_y = dpi_y ? dpi_y : dpi;
    GreyPage p{unsigned(size->width * long(dpi) / 2540), unsigned(size->length * long(dpi_y) / 2540), dpi, dpi_y,
               media, {}};
    p.grey.assign(size_t(p.width) * p.height, 255);
    uint32_t x = seed;
    for (unsigned y = 0; y < p.height; y++)
        for (unsigned col = 0; col < p.width; col += 16) {
            x = x * 1103515245u + 12345u;
            if ((x >> 16) % 7 == 0)
                std::fill_n(p.grey.begin() + long(size_t(y) * p.width + col), std::min(16u, p.width - col), 0);
        }
    // A frame at the very edges: what is cut of it shows.
    for (unsigned y = 0; y < p.height; y++)
        p.grey[size_t(y) * p.width] = p.grey[size_t(y) * p.width + p.width - 1] = 0;
    return p;
}

// Pages in one PWG raster file.
inline void write_pwg_pages(const std::string &path, const std::vector<GreyPage> &pages)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    for (const GreyPage &p : pages) {
        cups_page_header2_t h;
        cupsRasterInitPWGHeader(&h, pwgMediaForPWG(p.media.c_str()), "sgray_8", int(p.dpi), int(p.dpi_y), "one-sided",
                                nullptr);
        cupsRasterWriteHeader2(ras, &h);
        for (unsigned y = 0; y < p.height; y++)
            cupsRasterWritePixels(ras, const_cast<uint8_t *>(p.grey.data() + size_t(y) * p.width), p.width);
    }
    cupsRasterClose(ras);
    close(fd);
}

inline void write_pwg(const std::string &path, const GreyPage &p)
{
    write_pwg_pages(path, {p});
}

// The 1-bit page the printer should get: black where the grey is black,
// padded and cut as the filter's own tests expect.
// The page as printed: thresholded, and of a page larger than the printer
// prints, the middle part (to the byte) and the top.
inline Bitmap expected_of(const GreyPage &p)
{
    const quillet::PixelSize kept = quillet::printed_whole(int(p.dpi), int(p.dpi_y), p.width, p.height);
    const unsigned left = (p.width - kept.width) / 2 / 8 * 8;
    RasterPage page = make_page(kept.width, kept.height, Fill::Blank, p.dpi, p.dpi_y);
    for (unsigned y = 0; y < kept.height; y++)
        for (unsigned x = 0; x < kept.width; x++)
            if (p.grey[size_t(y) * p.width + left + x] < 128)
                page.set(x, y);
    return expected_image(page);
}

class App : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new TempDir;
        // The server's temporary folder is open to every user, as /tmp is.
        chmod(dir_->path().c_str(), 0711);
        fs::create_directories(dir_->file("tmp"));
        chmod(dir_->file("tmp").c_str(), 01777);
        fs::create_directories(dir_->file("spool"));
        fs::create_directories(dir_->file("out"));
        start();
        write_file(dir_->file("create.test"),
                   "{\nNAME \"Create-Printer\"\nOPERATION Create-Printer\nGROUP operation-attributes-tag\n"
                   "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
                   "ATTR uri system-uri $uri\nATTR name requesting-user-name root\n"
                   "ATTR keyword printer-service-type print\nATTR uri smi55357-device-uri file://" +
                       dir_->file("out") +
                       "\nATTR keyword smi55357-driver quillet_mono\nGROUP printer-attributes-tag\n"
                       "ATTR name printer-name quillet\nSTATUS successful-ok\n}\n");
        created_ = run("/usr/bin/ipptool", {"-t", system_uri(), dir_->file("create.test")}).status == 0;
    }

    static void start()
    {
        std::vector<std::string> args = {"server", "-o", "listen-hostname=127.0.0.1", "-o",
                                         "server-port=" + std::to_string(port_), "-o",
                                         "spool-directory=" + dir_->file("spool"), "-o", "log-file=" + dir_->file("log"),
                                         "-o", "log-level=debug", "-o", "state-file=" + dir_->file("state"), "-o",
                                         "output-directory=" + dir_->file("out"), "-o", "page-limit=20", "-o",
                                         "conversion-silence-limit=15"};
        std::string program = QUILLET_APP;
        // Under valgrind when asked: invalid accesses end the server with 99.
        if (getenv("QUILLET_APP_VALGRIND")) {
            args.insert(args.begin(), {"--error-exitcode=99", "--errors-for-leak-kinds=none", "--log-file=" +
                                       dir_->file("valgrind.log"), program});
            program = "/usr/bin/valgrind";
        }
        RunOptions options(args);
        options.env = app_env();
        server_ = new Process(program, options);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!(running_ = serving(port_, dir_->file("run"))) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // The administrator's password, given on the local socket.
        Process set(QUILLET_APP, [] {
            RunOptions o({"set-password"});
            o.env = app_env();
            return o;
        }());
        set.write({Password, Password + std::strlen(Password)});
        set.write({'\n'});
        set.close_input();
        RunResult r = set.finish(std::chrono::seconds(60));
        running_ = running_ && r.status == 0;
    }

    // The server's socket folder of its own.
    static std::map<std::string, std::string> app_env()
    {
        return {{"QUILLET_RUNTIME_DIR", dir_->file("run")},
                {"QUILLET_STATE_DIR", dir_->file("state.d")},
                {"TMPDIR", dir_->file("tmp")}};
    }

    static int stop()
    {
        server_->signal(SIGTERM);
        RunResult r = server_->finish(std::chrono::seconds(120));
        delete server_;
        server_ = nullptr;
        return r.status;
    }

    static void TearDownTestSuite()
    {
        stop();
        delete dir_;
    }

    void SetUp() override
    {
        ASSERT_TRUE(running_) << "the printer application did not start: " << log();
        ASSERT_TRUE(created_) << log();
    }

    // Administration needs the password; printing does not.
    static std::string system_uri()
    {
        return "ipp://admin:" + std::string(Password) + "@127.0.0.1:" + std::to_string(port_) + "/ipp/system";
    }
    static std::string admin_printer_uri()
    {
        return "ipp://admin:" + std::string(Password) + "@127.0.0.1:" + std::to_string(port_) + "/ipp/print/quillet";
    }
    static std::string printer_uri() { return "ipp://127.0.0.1:" + std::to_string(port_) + "/ipp/print/quillet"; }
    static std::string log()
    {
        auto bytes = read_file(dir_->file("log"));
        return {bytes.begin(), bytes.end()};
    }

    // Prints a file with the given job attributes (ipptool ATTR lines) and
    // waits until the job has ended; returns the stream the printer got.
    static std::vector<uint8_t> print(const std::string &file, const std::string &format,
                                      const std::string &attributes, const std::string &state = "9",
                                      const std::string &expect = "")
    {
        static int jobs = 0;
        std::string name = "job" + std::to_string(++jobs);
        std::string test = dir_->file(name + ".test");
        write_file(test, "{\nNAME \"Print-Job\"\nOPERATION Print-Job\nGROUP operation-attributes-tag\n"
                         "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
                         "ATTR uri printer-uri $uri\nATTR name requesting-user-name root\nATTR name job-name " +
                             name + "\nATTR mimeMediaType document-format " + format +
                             "\nGROUP job-attributes-tag\n" + attributes +
                             "\nFILE $filename\nSTATUS successful-ok\nEXPECT job-id OF-TYPE integer\n}\n"
                             "{\nNAME \"Wait\"\nOPERATION Get-Job-Attributes\nGROUP operation-attributes-tag\n"
                             "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
                             "ATTR uri printer-uri $uri\nATTR integer job-id $job-id\n"
                             "ATTR name requesting-user-name root\nSTATUS successful-ok\nDELAY 0.1\n"
                             "EXPECT job-state WITH-VALUE >6 REPEAT-NO-MATCH REPEAT-LIMIT 1200\n"
                             "EXPECT job-state WITH-VALUE " + state + "\n" + expect + "}\n");
        RunResult r = run("/usr/bin/ipptool", {"-t", "-f", file, printer_uri(), test});
        EXPECT_EQ(r.status, 0) << std::string(r.out.begin(), r.out.end()) << log();
        std::string out = output_of(dir_->file("out"), name);
        EXPECT_TRUE(!out.empty() && fs::file_size(out) > 0) << std::string(r.out.begin(), r.out.end()) << log();
        return out.empty() ? std::vector<uint8_t>{} : read_file(out);
    }

    inline static TempDir *dir_ = nullptr;
    inline static Process *server_ = nullptr;
    inline static int port_ = 8631;
    inline static bool running_ = false, created_ = false;
};

// A PWG raster page of a given type, written row by row from a grey page;
// rows (when given) cuts the page short, dpi 0 writes no resolution.
inline void write_pwg_as(const std::string &path, const GreyPage &p, const char *type, unsigned rows, unsigned dpi)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
    cups_page_header2_t h;
    cupsRasterInitPWGHeader(&h, pwgMediaForPWG(p.media.c_str()), type, int(p.dpi), int(p.dpi), "one-sided", nullptr);
    h.HWResolution[0] = h.HWResolution[1] = dpi;
    cupsRasterWriteHeader2(ras, &h);
    std::vector<uint8_t> row(h.cupsBytesPerLine);
    for (unsigned y = 0; y < std::min(rows, p.height); y++) {
        const uint8_t *grey = p.grey.data() + size_t(y) * p.width;
        std::fill(row.begin(), row.end(), 0);
        for (unsigned x = 0; x < p.width; x++) {
            if (h.cupsBitsPerPixel == 1)
                row[x / 8] |= uint8_t(grey[x] < 128 ? 0x80 >> (x % 8) : 0);
            else
                row[x] = h.cupsColorSpace == CUPS_CSPACE_K ? uint8_t(255 - grey[x]) : grey[x];
        }
        cupsRasterWritePixels(ras, row.data(), h.cupsBytesPerLine);
    }
    cupsRasterClose(ras);
    close(fd);
}

// A server of its own in folder d, on port, with extra options; its
// standard error (and output) go to d/stderr.  Null when it does not
// answer within a minute.
inline std::unique_ptr<Process> own_server(const TempDir &d, int port, const std::vector<std::string> &extra,
                                    const std::map<std::string, std::string> &env = {})
{
    for (const char *folder : {"out", "spool", "run", "state.d"})
        fs::create_directories(d.file(folder));
    std::string command = "exec '" + std::string(QUILLET_APP) + "' server -o listen-hostname=127.0.0.1 -o server-port=" +
                          std::to_string(port) + " -o spool-directory=" + d.file("spool") +
                          " -o output-directory=" + d.file("out");
    for (const std::string &option : extra)
        command += " -o '" + option + "'";
    RunOptions options({"-c", command + " >" + d.file("stderr") + " 2>&1"});
    options.env = {{"QUILLET_RUNTIME_DIR", d.file("run")}, {"QUILLET_STATE_DIR", d.file("state.d")}};
    options.env.insert(env.begin(), env.end());
    auto server = std::make_unique<Process>("/bin/sh", options);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!serving(port, d.file("run")) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return serving(port, d.file("run")) ? std::move(server) : nullptr;
}

}  // namespace quillet::app_test
