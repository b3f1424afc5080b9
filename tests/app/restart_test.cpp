// Jobs and printers through restarts and crashes: what survives a restart
// or a kill -9 in a burst of jobs, and the order jobs end in.
#include "app_harness.h"

#include <fstream>

using namespace quillet::app_test;

namespace {

TEST_F(App, PrinterAndItsDefaultsSurviveARestart)
{
    // A printer default set over IPP applies to jobs that do not name it.
    write_file(dir_->file("defaults.test"),
               "{\nOPERATION Set-Printer-Attributes\nGROUP operation-attributes-tag\n"
               "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
               "ATTR uri printer-uri $uri\nATTR name requesting-user-name root\nGROUP printer-attributes-tag\n"
               "ATTR boolean quillet-mirror-default true\nATTR integer printer-darkness-configured 100\n"
               "ATTR text printer-location \"Room 12\"\nATTR text printer-organizational-unit \"Lab 3\"\n"
               "STATUS successful-ok\n}\n");
    // Undone however the test ends: the tests after it print with the
    // printer's own defaults.
    struct Undo {
        ~Undo()
        {
            write_file(dir_->file("undo.test"),
                       "{\nOPERATION Set-Printer-Attributes\nGROUP operation-attributes-tag\nATTR charset "
                       "attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\nATTR uri "
                       "printer-uri $uri\nATTR name requesting-user-name root\nGROUP printer-attributes-tag\n"
                       "ATTR boolean quillet-mirror-default false\nATTR integer printer-darkness-configured 50\n"
                       "STATUS successful-ok\n}\n");
            EXPECT_EQ(run("/usr/bin/ipptool", {"-t", admin_printer_uri(), dir_->file("undo.test")}).status, 0)
                << log();
        }
    } undo;
    ASSERT_EQ(run("/usr/bin/ipptool", {"-t", admin_printer_uri(), dir_->file("defaults.test")}).status, 0) << log();
    ASSERT_EQ(read_pages(print(Samples + "/photo.png", "image/png", "")).size(), 1u);
    // A held job whose document is gone by the restart is listed, aborted;
    // so is one whose saved attributes are gone too (as a crash leaves a
    // job that ended during a save that did not land).
    const char *held[] = {"held", "held-bare"};
    const char *removed[] = {"-held.png", "-held-bare.png", "-held-bare.ipp"};  // of the spool
    for (const char *name : held) {
        write_file(dir_->file("held.test"),
                   "{\nOPERATION Print-Job\nGROUP operation-attributes-tag\n"
                   "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
                   "ATTR uri printer-uri $uri\nATTR name requesting-user-name root\nATTR name job-name " +
                       std::string(name) +
                       "\nATTR mimeMediaType document-format image/png\nGROUP job-attributes-tag\n"
                       "ATTR keyword job-hold-until indefinite\nFILE $filename\nSTATUS successful-ok\n}\n");
        ASSERT_EQ(
            run("/usr/bin/ipptool", {"-t", "-f", Samples + "/photo.png", printer_uri(), dir_->file("held.test")}).status,
            0);
    }
    stop();
    for (const auto &entry : fs::directory_iterator(dir_->file("spool")))
        for (const char *ending : removed)
            if (entry.path().filename().string().find(ending) != std::string::npos)
                fs::remove(entry.path());
    // Started while the printer's folder is away (a mount not yet up): the
    // printer stays, stopped with the reason, and prints (below) once a
    // start finds the folder again.  The state is cut short too (a disk
    // that failed mid-write): the one saved before it is loaded.
    fs::rename(dir_->file("out"), dir_->file("out.away"));
    fs::resize_file(dir_->file("state"), fs::file_size(dir_->file("state")) / 2);
    start();
    EXPECT_NE(log().find("The state in " + dir_->file("state") + " is cut short or damaged: the one saved before it"),
              std::string::npos);
    write_file(dir_->file("stopped.test"),
               "{\nOPERATION Get-Printer-Attributes\nGROUP operation-attributes-tag\nATTR charset attributes-charset "
               "utf-8\nATTR naturalLanguage attributes-natural-language en\nATTR uri printer-uri $uri\n"
               "EXPECT printer-state WITH-VALUE 5\nEXPECT printer-state-reasons WITH-VALUE other\n"
               "EXPECT printer-state-message WITH-VALUE \"/output folder .* does not exist/\"\n}\n");
    EXPECT_EQ(run("/usr/bin/ipptool", {"-t", printer_uri(), dir_->file("stopped.test")}).status, 0) << log();
    stop();
    fs::rename(dir_->file("out.away"), dir_->file("out"));
    // Media saved with margins an earlier version offered take today's.
    const std::vector<uint8_t> saved = read_file(dir_->file("state"));
    std::string state(saved.begin(), saved.end());
    for (size_t at = 0; (at = state.find("left=\"", at)) != std::string::npos; at += 6)
        state.replace(at + 6, state.find('"', at + 6) - at - 6, "1250");
    write_file(dir_->file("state"), state);
    start();
    ASSERT_TRUE(running_) << log();
    // The finished jobs are still listed.
    write_file(dir_->file("completed.test"),
               "{\nOPERATION Get-Jobs\nGROUP operation-attributes-tag\n"
               "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
               "ATTR uri printer-uri $uri\nATTR name requesting-user-name root\nATTR keyword which-jobs completed\n"
               "ATTR keyword requested-attributes job-id,job-name\nSTATUS successful-ok\nEXPECT job-id OF-TYPE integer\n"
               "DISPLAY job-name\n}\n"
               "{\nOPERATION Get-Printer-Attributes\nGROUP operation-attributes-tag\n"
               "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
               "ATTR uri printer-uri $uri\nATTR keyword requested-attributes all,media-col-database\n"
               "EXPECT printer-location WITH-VALUE \"Room 12\"\n"
               "EXPECT printer-organizational-unit WITH-VALUE \"Lab 3\"\n"
               "EXPECT document-format-supported WITH-ALL-VALUES \"/^(application|image)[/]/\"\n"
               // One pair of margins for every size, the largest any needs
               // (Letter's), everywhere they are listed.
               "EXPECT media-left-margin-supported WITH-ALL-VALUES 400\n"
               "EXPECT media-col-database/media-left-margin WITH-ALL-VALUES 400\n"
               "EXPECT media-col-default/media-left-margin WITH-VALUE 400\n"
               "EXPECT media-col-ready/media-left-margin WITH-VALUE 400\n"
               "EXPECT media-top-margin-supported WITH-ALL-VALUES 50\n"
               "EXPECT media-col-database/media-bottom-margin WITH-ALL-VALUES 50\n"
               "EXPECT media-col-default/media-top-margin WITH-VALUE 50\n"
               "EXPECT media-col-ready/media-top-margin WITH-VALUE 50\n"
               "EXPECT media-col-ready/media-bottom-margin WITH-VALUE 50\n}\n");
    RunResult completed = run("/usr/bin/ipptool", {"-t", printer_uri(), dir_->file("completed.test")});
    const std::string listed(completed.out.begin(), completed.out.end());
    EXPECT_EQ(completed.status, 0) << listed;
    for (const char *name : held)
        EXPECT_NE(listed.find(") = " + std::string(name) + "\n"), std::string::npos) << listed;
    std::vector<PageDoc> docs = read_pages(print(Samples + "/photo.png", "image/png", ""));
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0].media.density, 4);
    size_t middle = size_t(docs[0].image.h / 2) * docs[0].image.bpl();
    EXPECT_EQ(docs[0].image.bits[middle], 0) << "mirrored: the left edge is blank";
    std::vector<PageDoc> unmirrored = read_pages(print(Samples + "/photo.png", "image/png",
                                                       "ATTR boolean quillet-mirror false"));
    ASSERT_EQ(unmirrored.size(), 1u);
    EXPECT_FALSE(unmirrored[0].image == docs[0].image) << "the job's own false is kept";
    // Ready media set over IPP with less than the printer's margins are
    // refused, and A4 stays ready.
    write_file(dir_->file("letter.test"),
               "{\nOPERATION Set-Printer-Attributes\nGROUP operation-attributes-tag\nATTR charset attributes-charset "
               "utf-8\nATTR naturalLanguage attributes-natural-language en\nATTR uri printer-uri $uri\nATTR name "
               "requesting-user-name root\nGROUP printer-attributes-tag\nATTR collection media-col-ready {MEMBER "
               "collection media-size {MEMBER integer x-dimension 21590 MEMBER integer y-dimension 27940} MEMBER "
               "integer media-left-margin 100 MEMBER integer media-right-margin 100 MEMBER integer media-top-margin 0 "
               "MEMBER integer media-bottom-margin 0 MEMBER keyword media-source main}\nSTATUS "
               "client-error-attributes-or-values-not-supported\n}\n{\nOPERATION Get-Printer-Attributes\nGROUP "
               "operation-attributes-tag\nATTR charset attributes-charset utf-8\nATTR naturalLanguage "
               "attributes-natural-language en\nATTR uri printer-uri $uri\n"
               "EXPECT media-col-ready/media-size/x-dimension WITH-VALUE 21000\n}\n");
    RunResult letter = run("/usr/bin/ipptool", {"-t", admin_printer_uri(), dir_->file("letter.test")});
    EXPECT_EQ(letter.status, 0) << std::string(letter.out.begin(), letter.out.end());
}

// A burst of PDF and raster jobs from 15 clients, the server killed while
// it prints: after the restart, with no new job sent, every job ends by
// itself, the ones cut short aborted, the waiting ones printed in the order
// they came; the printer's defaults survive.
TEST_F(App, KilledDuringABurstEveryJobEndsInOrder)
{
    write_file(dir_->file("dark.test"),
               "{\nOPERATION Set-Printer-Attributes\nGROUP operation-attributes-tag\n"
               "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
               "ATTR uri printer-uri $uri\nATTR name requesting-user-name root\nGROUP printer-attributes-tag\n"
               "ATTR integer printer-darkness-configured 75\nSTATUS successful-ok\n}\n");
    ASSERT_EQ(run("/usr/bin/ipptool", {"-t", admin_printer_uri(), dir_->file("dark.test")}).status, 0) << log();
    for (const char *format : {"application/pdf", "image/pwg-raster"}) {
        std::string jobs;
        for (int n = 0; n < 3; n++)
            jobs += RootRequest + "OPERATION Print-Job\nATTR name job-name burst\nATTR mimeMediaType document-format " +
                    format + "\nFILE $filename\n}\n";
        write_file(dir_->file(std::string("burst-") + (format[0] == 'a' ? "pdf" : "pwg") + ".test"), jobs);
    }
    write_file(dir_->file("jobs.test"), RootRequest + "OPERATION Get-Jobs\nATTR keyword which-jobs all\n"
                                               "ATTR keyword requested-attributes job-id,job-state\nDISPLAY job-id\n"
                                               "DISPLAY job-state\n"
                                               "STATUS successful-ok\n}\n");
    write_file(dir_->file("darkness.test"), RootRequest + "OPERATION Get-Printer-Attributes\n"
                                                   "DISPLAY printer-darkness-configured\nSTATUS successful-ok\n}\n");
    const std::string raster = dir_->file("burst.pwg");
    write_pwg(raster, grey_page("iso_a4_210x297mm", 600, 9));
    auto listed = [&] {
        RunResult r = run("/usr/bin/ipptool", {"-t", printer_uri(), dir_->file("jobs.test")});
        return std::string(r.out.begin(), r.out.end());
    };
    // The numbers of the jobs listed (DISPLAY job-id, DISPLAY job-state:
    // each job's number, then its state) in a state.
    auto ids_in_state = [&](const std::string &shown, const char *state) {
        std::vector<int> ids;
        for (size_t at = 0; (at = shown.find("job-id (integer) = ", at)) != std::string::npos; at++)
            if (shown.compare(shown.find("job-state (enum) = ", at) + 19, std::strlen(state), state) == 0)
                ids.push_back(std::atoi(shown.c_str() + at + 19));
        return ids;
    };
    auto jobs_in_state = [&](const std::string &shown, const char *state) {
        return ids_in_state(shown, state).size();
    };
    auto started_after = [&](size_t from) {
        std::vector<int> ids;
        const std::string text = log().substr(from);
        for (size_t at = 0; (at = text.find("[Job ", at)) != std::string::npos; at++) {
            const size_t end = text.find("] Starting print job.", at);
            if (end != std::string::npos && end < text.find('\n', at))
                ids.push_back(std::stoi(text.substr(at + 5, end - at - 5)));
        }
        return ids;
    };
    // Kills the server and starts it again; the log's offset of the restart.
    auto crash_and_restart = [&] {
        server_->signal(SIGKILL);
        server_->finish(std::chrono::seconds(60));
        delete server_;
        server_ = nullptr;
        start();
        // (The log holds every run of the server: the restart's lines come last.)
        return running_ ? log().rfind("Loading system state") : std::string::npos;
    };
    // No job is sent: every job ends by itself.
    auto all_ended = [&] {
        std::string jobs = listed();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(240);
        while ((jobs_in_state(jobs, "pending") || jobs_in_state(jobs, "processing")) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            jobs = listed();
        }
        return jobs;
    };
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        const size_t log_before = log().size();
        std::vector<std::unique_ptr<Process>> clients;
        for (int c = 0; c < 15; c++)
            clients.push_back(std::make_unique<Process>(
                "/usr/bin/ipptool",
                RunOptions({"-f", c % 2 ? raster : Samples + "/brochure.pdf", printer_uri(),
                            dir_->file(c % 2 ? "burst-pwg.test" : "burst-pdf.test")})));
        // Killed once the burst is in and a job has printed part of its
        // pages.
        auto part_printed = [&](const std::string &shown) {
            const std::vector<int> printing = ids_in_state(shown, "processing");
            return std::any_of(printing.begin(), printing.end(), [&](int job) {
                std::error_code gone;
                return fs::file_size(dir_->file("out") + "/" + std::to_string(job) + "-burst.prn", gone) > 0 && !gone;
            });
        };
        auto ready = [&] {
            if (started_after(log_before).size() < 3)
                return false;
            const std::string shown = listed();
            return jobs_in_state(shown, "pending") >= 5 && part_printed(shown);
        };
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!ready() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "the burst queued no jobs\n" << listed() << log();
        const size_t log_restart = crash_and_restart();
        ASSERT_NE(log_restart, std::string::npos) << log();
        for (auto &client : clients)
            client->finish(std::chrono::seconds(60));
        const std::string jobs = all_ended();
        // (With the server's own account of the crash and the restart.)
        EXPECT_EQ(jobs_in_state(jobs, "pending") + jobs_in_state(jobs, "processing"), 0u)
            << jobs << log().substr(log_restart - std::min<size_t>(log_restart, 20000), 80000);
        EXPECT_GE(jobs_in_state(jobs, "aborted"), size_t(round + 1)) << "the jobs cut short are listed\n" << jobs;
        for (int aborted : ids_in_state(jobs, "aborted"))
            EXPECT_FALSE(fs::exists(dir_->file("out") + "/" + std::to_string(aborted) + "-burst.prn"))
                << "the part a job cut short had printed is left";
        const std::vector<int> order = started_after(log_restart);
        EXPECT_GE(order.size(), 1u) << "the waiting jobs printed";
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "in the order they came";
        RunResult darkness = run("/usr/bin/ipptool", {"-t", printer_uri(), dir_->file("darkness.test")});
        EXPECT_NE(std::string(darkness.out.begin(), darkness.out.end()).find("= 75"), std::string::npos);
    }
    // A document that comes for a job made earlier (Create-Job, saved
    // then), while the printer is paused: the server is killed as soon as
    // the client hears it is in.  It prints once the printer is resumed
    // after the restart (PAPPL 1.4 keeps a printer paused across it).
    write_file(dir_->file("pause.test"),
               RootRequest + "OPERATION Pause-Printer\nSTATUS successful-ok\n}\n" + RootRequest +
                   "OPERATION Create-Job\nSTATUS successful-ok\nDISPLAY job-id\n}\n");
    RunResult created = run("/usr/bin/ipptool", {"-t", admin_printer_uri(), dir_->file("pause.test")});
    ASSERT_EQ(created.status, 0) << std::string(created.out.begin(), created.out.end());
    const std::string shown(created.out.begin(), created.out.end());
    const std::string id = std::to_string(std::atoi(shown.c_str() + shown.find("job-id (integer) = ") + 19));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto state_file = [&] {
        const std::vector<uint8_t> bytes = read_file(dir_->file("state"));
        return std::string(bytes.begin(), bytes.end());
    };
    while (state_file().find("id=\"" + id + "\"") == std::string::npos &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    write_file(dir_->file("send.test"), RootRequest + "OPERATION Send-Document\nATTR integer job-id " + id +
                                            "\nATTR boolean last-document true\nATTR mimeMediaType document-format "
                                            "application/pdf\nFILE $filename\nSTATUS successful-ok\n}\n");
    ASSERT_EQ(run("/usr/bin/ipptool", {"-t", "-f", Samples + "/brochure.pdf", admin_printer_uri(), dir_->file("send.test")})
                  .status,
              0);
    ASSERT_NE(crash_and_restart(), std::string::npos) << log();
    write_file(dir_->file("resume.test"), RootRequest + "OPERATION Resume-Printer\nSTATUS successful-ok\n}\n");
    EXPECT_EQ(run("/usr/bin/ipptool", {"-t", admin_printer_uri(), dir_->file("resume.test")}).status, 0);
    const std::string jobs = all_ended();
    EXPECT_NE(jobs.find("job-id (integer) = " + id + "\n        job-state (enum) = completed"), std::string::npos)
        << "the document sent before the crash\n" << jobs;
    // A job to the idle printer, the server killed the moment its client
    // hears the job's number (a PDF), or the moment its pages are all in
    // its file, before its end is saved (a raster, whose end the server
    // knows as it reads it; a PDF's is known once Ghostscript has ended
    // well): after the restart the job is listed, ended, completed when it
    // had printed in full, its pages in one file at most, and the next job
    // has a number of its own.
    auto print_one = [&](const std::string &file, const std::string &format) {
        write_file(dir_->file("one.test"), RootRequest + "OPERATION Print-Job\nATTR name job-name killed\n"
                                                         "ATTR mimeMediaType document-format " + format +
                                                         "\nFILE $filename\nSTATUS successful-ok\nDISPLAY job-id\n}\n");
        RunResult r = run("/usr/bin/ipptool", {"-t", "-f", file, printer_uri(), dir_->file("one.test")});
        const std::string out(r.out.begin(), r.out.end());
        return out.find("job-id (integer) = ") == std::string::npos ? 0 : std::atoi(out.c_str() + out.find("job-id (integer) = ") + 19);
    };
    // (Its records counted, not decoded: the kill follows at once.)
    auto printed_in_full = [&](int job, long pages) {
        try {
            const std::vector<Record> records =
                split_records(read_file(dir_->file("out") + "/" + std::to_string(job) + "-killed.prn"));
            return std::count_if(records.begin(), records.end(), [](const Record &record) {
                       return record.type == record_type::end_document;
                   }) == pages;
        } catch (const std::exception &) {
            return false;  // not there yet, or a record cut short
        }
    };
    const struct {
        bool once_printed;
        std::string file, format;
        long pages;
    } kills[] = {{false, Samples + "/brochure.pdf", "application/pdf", 3}, {true, raster, "image/pwg-raster", 1}};
    int killed = 0;
    for (const auto &kill : kills) {
        SCOPED_TRACE(kill.format);
        killed = print_one(kill.file, kill.format);
        ASSERT_GT(killed, 0);
        for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
             kill.once_printed && !printed_in_full(killed, kill.pages) && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_NE(crash_and_restart(), std::string::npos) << log();
        const std::string after = all_ended();
        const size_t listed_at = after.find("job-id (integer) = " + std::to_string(killed) + "\n");
        ASSERT_NE(listed_at, std::string::npos) << after;
        if (kill.once_printed) {
            EXPECT_EQ(after.compare(after.find("job-state (enum) = ", listed_at) + 19, 9, "completed"), 0) << after;
        }
        size_t files = 0;
        for (const auto &entry : fs::directory_iterator(dir_->file("out"))) {
            files += entry.path().filename().string().rfind(std::to_string(killed) + "-", 0) == 0;
            EXPECT_GT(fs::file_size(entry.path()), 0u) << entry.path() << ": an empty output file";
        }
        EXPECT_LE(files, 1u);
    }
    EXPECT_GT(print_one(Samples + "/brochure.pdf", "application/pdf"), killed);
    // Past 1 MiB of log at each restart (debug level), and never rotated.
    EXPECT_GT(fs::file_size(dir_->file("log")), 1u << 20);
    EXPECT_FALSE(fs::exists(dir_->file("log.O")));
    EXPECT_EQ(read_pages(print(Samples + "/photo.png", "image/png", "")).size(), 1u) << "and it prints";
    write_file(dir_->file("dark.test"),
               "{\nOPERATION Set-Printer-Attributes\nGROUP operation-attributes-tag\n"
               "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
               "ATTR uri printer-uri $uri\nATTR name requesting-user-name root\nGROUP printer-attributes-tag\n"
               "ATTR integer printer-darkness-configured 50\nSTATUS successful-ok\n}\n");
    EXPECT_EQ(run("/usr/bin/ipptool", {"-t", admin_printer_uri(), dir_->file("dark.test")}).status, 0);

    // A job whose document is still arriving keeps a later job, whose
    // document came first, waiting: jobs print in the order they came.
    write_file(dir_->file("arriving.test"),
               RootRequest + "OPERATION Create-Job\nATTR name job-name first-made\nSTATUS successful-ok\n"
                             "EXPECT job-id OF-TYPE integer\nDISPLAY job-id\n}\n" +
                   RootRequest + "OPERATION Print-Job\nATTR name job-name second-made\n"
                                 "ATTR mimeMediaType document-format image/png\nFILE $filename\nSTATUS successful-ok\n"
                                 "EXPECT job-id OF-TYPE integer\n}\n" +
                   RootRequest + "OPERATION Get-Job-Attributes\nATTR integer job-id $job-id\nDELAY 1\n"
                                 "EXPECT job-state WITH-VALUE 3\n}\n");
    RunResult arriving = run("/usr/bin/ipptool", {"-t", "-f", Samples + "/photo.png", printer_uri(), dir_->file("arriving.test")});
    EXPECT_EQ(arriving.status, 0) << "the later job did not wait\n" << std::string(arriving.out.begin(), arriving.out.end());
    const std::string shown_first(arriving.out.begin(), arriving.out.end());
    const size_t first = shown_first.find("job-id (integer) = ");
    ASSERT_NE(first, std::string::npos) << shown_first;
    const std::string first_id = std::to_string(std::atoi(shown_first.c_str() + first + 19));
    write_file(dir_->file("arrives.test"),
               RootRequest + "OPERATION Send-Document\nATTR integer job-id " + first_id +
                   "\nATTR boolean last-document true\nATTR mimeMediaType document-format image/png\nFILE $filename\n"
                   "STATUS successful-ok\n}\n");
    EXPECT_EQ(run("/usr/bin/ipptool", {"-t", "-f", Samples + "/photo.png", printer_uri(), dir_->file("arrives.test")}).status,
              0);
    const std::string ended = all_ended();
    EXPECT_NE(ended.find("job-id (integer) = " + first_id + "\n        job-state (enum) = completed"), std::string::npos)
        << ended;
}

}  // namespace
