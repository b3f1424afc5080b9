#!/usr/bin/env python3
"""CPU per page of a job through the printer application against CUPS's chain.

The same documents go, in interleaved rounds, through a private server of the
build's application (a file:// printer; its CPU and that of the Ghostscript it
starts, from /proc/PID/stat) and through CUPS's chain for the printer's PPD
(cups-filters' gstoraster, or imagetoraster for JPEG, then the filter; the
CPU of both from the shell's children).  Prints, per document, the median CPU
per page of each and the median of the rounds' own ratios.

    chain_bench.py [--build BUILD] [--rounds N] [--work DIR]
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PORT = 18931
TICK = os.sysconf("SC_CLK_TCK")


def gs(*arguments):
    subprocess.run(["gs", "-q", "-dBATCH", "-dNOPAUSE", *arguments], check=True, stderr=subprocess.DEVNULL)


def make_documents(work):
    """The documents: name, file, pages, how many times a round prints it."""
    samples = os.path.join(ROOT, "samples")
    dense = open(os.path.join(samples, "dense.ps")).read().replace("showpage", "")
    with open(os.path.join(work, "text10.ps"), "w") as out:
        out.write("%!PS\n" + (dense + "\nshowpage\n") * 10)
    gs("-dSAFER", "-sDEVICE=pdfwrite", "-sOutputFile=" + os.path.join(work, "text10.pdf"),
       os.path.join(work, "text10.ps"))
    # A photo: 1,500 soft discs of random greys, an A4 page at 300 dpi as
    # a JPEG of 2480 x 3508 pixels, and that JPEG on a PDF page.
    with open(os.path.join(work, "photo.ps"), "w") as out:
        out.write("%!PS\n<< /PageSize [595.28 841.89] >> setpagedevice 1 srand\n"
                  "0 1 1500 { pop rand 596 mod rand 842 mod translate\n"
                  "  << /ShadingType 3 /ColorSpace /DeviceRGB /Coords [0 0 0 0 0 rand 60 mod 5 add]\n"
                  "     /Function << /FunctionType 2 /Domain [0 1] /N 1\n"
                  "       /C0 [rand 100 mod 100 div rand 100 mod 100 div rand 100 mod 100 div]\n"
                  "       /C1 [rand 100 mod 100 div rand 100 mod 100 div rand 100 mod 100 div] >> >> shfill\n"
                  "  initmatrix } for showpage\n")
    photo = os.path.join(work, "photo.jpg")
    gs("-sDEVICE=jpeg", "-r300", "-g2480x3508", "-dFIXEDMEDIA", "-sOutputFile=" + photo,
       os.path.join(work, "photo.ps"))
    with open(os.path.join(work, "photo-page.ps"), "w") as out:
        out.write("%!PS\n<< /PageSize [595.28 841.89] >> setpagedevice /DeviceRGB setcolorspace 595.28 841.89 scale\n"
                  "<< /ImageType 1 /Width 2480 /Height 3508 /BitsPerComponent 8 /Decode [0 1 0 1 0 1]\n"
                  "   /ImageMatrix [2480 0 0 -3508 0 3508] /DataSource (" + photo + ") (r) file /DCTDecode filter >>\n"
                  "image showpage\n")
    gs("-dNOSAFER", "-sDEVICE=pdfwrite", "-dPassThroughJPEGImages=true",
       "-sOutputFile=" + os.path.join(work, "photo.pdf"), os.path.join(work, "photo-page.ps"))
    documents = [
        ("text, 10 pages", os.path.join(work, "text10.pdf"), 1),
        ("samples/frame.pdf", os.path.join(samples, "frame.pdf"), 10),
        ("samples/brochure.pdf", os.path.join(samples, "brochure.pdf"), 3),
        ("photo page (PDF)", os.path.join(work, "photo.pdf"), 3),
        ("photo (JPEG)", photo, 4),
    ]
    return [(name, document, pages_of(document), times) for name, document, times in documents]


def pages_of(document):
    if document.endswith(".jpg"):
        return 1
    counted = subprocess.run(["gs", "-q", "-dNODISPLAY", "-dNOSAFER", "-c",
                              "(%s) (r) file runpdfbegin pdfpagecount = quit" % document],
                             capture_output=True, text=True, check=True).stdout
    return int(counted.split()[-1])


def cpu_ticks(pid):
    """CPU of a process and of its waited-for children, in ticks."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return sum(int(f) for f in fields[11:15])  # utime stime cutime cstime


def job_end(log, job):
    """How the job ended, from the server's log (read there, so that waiting
    costs the server nothing); None while it has not."""
    with open(log) as lines:
        for line in lines:
            if "[Job %s] " % job in line:
                for end in ("Completed", "Aborted", "Canceled"):
                    if "[Job %s] %s, job-impressions-completed" % (job, end) in line:
                        return end
    return None


def app_cpu(app, env, server, document, times, log):
    before = cpu_ticks(server)
    for _ in range(times):
        submitted = subprocess.run([app, "submit", "-d", "bench", document], env=env, check=True,
                                   capture_output=True, text=True).stdout.strip()
        job = submitted.rsplit("-", 1)[1]  # bench-ID
        deadline = time.monotonic() + 300
        while (end := job_end(log, job)) != "Completed":
            if end or time.monotonic() > deadline:
                sys.exit("job %s of %s: %s" % (job, document, end or "not ended within 300 s"))
            time.sleep(0.05)
    return (cpu_ticks(server) - before) / TICK


def chain_cpu(build, document, times):
    ppd = os.path.join(build, "ppd", "quillet.ppd")
    filter_ = os.path.join(build, "filter", "rastertoquillet")
    first = "imagetoraster" if document.endswith(".jpg") else "gstoraster"
    command = ("PPD=%s /usr/lib/cups/filter/%s 1 user bench 1 '' '%s' 2>/dev/null | "
               "PPD=%s %s 1 user bench 1 '' > /dev/null 2>&1") % (ppd, first, document, ppd, filter_)
    before = os.times()
    for _ in range(times):
        subprocess.run(["sh", "-c", command], check=True, env={**os.environ, "LANG": "C"})
    after = os.times()
    return (after.children_user + after.children_system) - (before.children_user + before.children_system)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--work")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    app = os.path.join(build, "app", "quillet-printer-app")
    for needed in ("/usr/lib/cups/filter/gstoraster", "/usr/lib/cups/filter/imagetoraster"):
        if not os.access(needed, os.X_OK):
            sys.exit("CUPS's chain needs %s (package cups-filters)" % needed)
    work = options.work or tempfile.mkdtemp()
    os.makedirs(work, exist_ok=True)
    documents = make_documents(work)
    for previous in ("run", "printed", "spool", "state", "state.printed", "log"):  # a new server each time
        shutil.rmtree(os.path.join(work, previous), ignore_errors=True)
        if os.path.exists(os.path.join(work, previous)):
            os.unlink(os.path.join(work, previous))
    env = {**os.environ, "QUILLET_RUNTIME_DIR": os.path.join(work, "run")}
    os.makedirs(env["QUILLET_RUNTIME_DIR"], mode=0o700, exist_ok=True)
    printed = os.path.join(work, "printed")
    log = os.path.join(work, "log")
    os.makedirs(printed, exist_ok=True)
    server = subprocess.Popen([app, "server", "-o", "listen-hostname=127.0.0.1", "-o", "server-port=%d" % PORT,
                               "-o", "state-file=" + os.path.join(work, "state"),
                               "-o", "spool-directory=" + os.path.join(work, "spool"),
                               "-o", "output-directory=" + printed, "-o", "log-file=" + os.path.join(work, "log"),
                               "-o", "log-level=info"], env=env)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", PORT), 1).close()
                break
            except OSError:
                if time.monotonic() > deadline or server.poll() is not None:
                    sys.exit("the server did not answer within 30 s")
                time.sleep(0.1)
        subprocess.run([app, "add", "-d", "bench", "-v", "file://" + printed, "-m", "quillet_mono"], env=env,
                       check=True)
        # One job of each first, to warm the caches and the server.
        for _, document, _, _ in documents:
            app_cpu(app, env, server.pid, document, 1, log)
            chain_cpu(build, document, 1)
        results = {name: ([], [], []) for name, _, _, _ in documents}
        for _ in range(options.rounds):
            for name, document, pages, times in documents:
                ours = app_cpu(app, env, server.pid, document, times, log) / (pages * times)
                theirs = chain_cpu(build, document, times) / (pages * times)
                results[name][0].append(ours)
                results[name][1].append(theirs)
                results[name][2].append(ours / theirs if theirs else float("inf"))
            for entry in os.listdir(printed):  # the streams are not kept
                os.unlink(os.path.join(printed, entry))
    finally:
        server.terminate()
        server.wait()
        if not options.work:
            shutil.rmtree(work, ignore_errors=True)
    print("| document | application ms/page | CUPS's chain ms/page | application / chain |")
    print("|---|---|---|---|")
    for name, (ours, theirs, ratios) in results.items():
        print("| %s | %.0f | %.0f | %.2f |" % (name, 1000 * statistics.median(ours), 1000 * statistics.median(theirs),
                                            statistics.median(ratios)))


if __name__ == "__main__":
    main()
