// Measures the cut-outs of vorpane-server against pictures with a known answer: textured subjects
// (a label inside, thin hair, cut by the bottom edge, cut by a side edge) over four kinds of
// backdrop. Prints, for the previous method and the current one side by side, the mean IoU of
// alpha above one half and the mean alpha error along the true edge, per kind and overall; then
// the processor time and the peak memory of one job at 2 and 12 megapixels on one core. With
// --photos it also cuts out real photographs from that folder (and times each enlarged to 2 MP),
// and with --montage writes them beside their cut-outs on a checkerboard.
//
//   bench_cutout [--size WxH] [--photos DIR] [--montage FILE.png] [--dump DIR] [--no-large]
//
// --dump writes each composite beside its two cut-outs into DIR.

#include "BackgroundRemover.h"
#include "Composites.h"
#include "OldCutout.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using composites::Backdrop;
using composites::Subject;

// Processor time of this process: the machine may be shared, and the work runs on one core,
// so this is the time the job takes on a core of its own.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + t.tv_nsec / 1e9;
}

long statusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n);
    }
    return -1;
}

// Peak memory a job adds over what the process holds before it: the kernel's high-water mark is
// reset first (clear_refs 5), so VmHWM afterwards is the peak during the job.
struct JobCost {
    double seconds = 0;
    long peakKb = 0;
};
// The least time of three runs (on a shared machine the others only add waiting for caches),
// and the peak of the last.
JobCost measure(const std::function<void()>& job) {
    JobCost cost;
    cost.seconds = 1e9;
    for (int run = 0; run < 3; ++run) {
        // As vorpane-server does after each job: freed memory goes back to the system, so each
        // job's peak is its own and its pages are fresh.
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = statusKb("VmRSS:");
        const double start = cpuSeconds();
        job();
        cost.seconds = std::min(cost.seconds, cpuSeconds() - start);
        cost.peakKb = statusKb("VmHWM:") - before;
    }
    return cost;
}

struct Tally {
    double iou = 0, edge = 0;
    int n = 0;
    void add(const composites::Score& s) {
        iou += s.iou;
        edge += s.boundaryError;
        ++n;
    }
};

std::vector<unsigned char> oldRender(const cv::Mat& bgr) {
    cv::Mat output;
    cv::cvtColor(bgr, output, cv::COLOR_BGR2BGRA);
    cv::insertChannel(oldForegroundAlpha(bgr), output, 3);
    std::vector<unsigned char> encoded;
    cv::imencode(".png", output, encoded, {cv::IMWRITE_PNG_COMPRESSION, 1});
    return encoded;
}

cv::Mat onCheckerboard(const cv::Mat& bgra) {
    cv::Mat out(bgra.size(), CV_8UC3);
    for (int y = 0; y < bgra.rows; ++y) {
        for (int x = 0; x < bgra.cols; ++x) {
            const cv::Vec4b p = bgra.at<cv::Vec4b>(y, x);
            const int check = ((x / 10 + y / 10) % 2) ? 205 : 250;
            cv::Vec3b& o = out.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c)
                o[c] = uchar((p[c] * p[3] + check * (255 - p[3]) + 127) / 255);
        }
    }
    return out;
}

void photographs(const std::string& folder, const std::string& montagePath) {
    // Photographs from the OpenCV sample data (Debian package opencv-doc): subjects on plain
    // and on busy backdrops, touching an edge or not.
    const char* files[] = {"alphamat/input_images/plant.jpg",
                           "data/apple.jpg",
                           "data/orange.jpg",
                           "data/baboon.jpg",
                           "data/butterfly.jpg",
                           "data/squirrel_cls.jpg",
                           "data/HappyFish.jpg",
                           "data/messi5.jpg"};
    const vserver::BackgroundRemover remover;
    std::vector<cv::Mat> tiles;
    const int tileHeight = 140;
    std::printf("\nPhotographs from %s\n", folder.c_str());
    std::printf("%-36s %10s %9s %9s %9s\n", "file", "size", "old s", "new s", "2 MP s");
    for (const char* file : files) {
        const std::string path = folder + "/" + file;
        const cv::Mat bgr = cv::imread(path, cv::IMREAD_COLOR);
        if (bgr.empty()) {
            std::printf("%-36s missing\n", file);
            continue;
        }
        const double t0 = cpuSeconds();
        const cv::Mat old = oldForegroundAlpha(bgr);
        const double oldSeconds = cpuSeconds() - t0;
        const double t1 = cpuSeconds();
        const std::vector<unsigned char> png = remover.render(bgr, {});
        const double newSeconds = cpuSeconds() - t1;
        const cv::Mat bgra = cv::imdecode(png, cv::IMREAD_UNCHANGED);
        // The same photo enlarged to 2 megapixels, the size of a phone's or camera's export.
        const double enlarge = std::sqrt(2e6 / double(bgr.total()));
        cv::Mat large;
        cv::resize(bgr, large, cv::Size(), enlarge, enlarge, cv::INTER_CUBIC);
        const JobCost largeJob = measure([&] { remover.render(large, {}); });
        std::printf("%-36s %4dx%-5d %9.3f %9.3f %9.3f", file, bgr.cols, bgr.rows, oldSeconds,
                    newSeconds, largeJob.seconds);
        // The plant comes with a reference matte.
        const std::string truthPath = folder + "/alphamat/output_mattes/plant_result.png";
        if (std::strstr(file, "plant") != nullptr) {
            const cv::Mat truth = cv::imread(truthPath, cv::IMREAD_GRAYSCALE);
            if (truth.size() == bgr.size()) {
                cv::Mat newAlpha;
                cv::extractChannel(bgra, newAlpha, 3);
                const auto o = composites::score(old, truth);
                const auto n = composites::score(newAlpha, truth);
                std::printf("   IoU against its matte: old %.3f, new %.3f", o.iou, n.iou);
            }
        }
        std::printf("\n");
        const double f = double(tileHeight) / bgr.rows;
        cv::Mat a, b;
        cv::resize(bgr, a, cv::Size(), f, f, cv::INTER_AREA);
        cv::resize(onCheckerboard(bgra), b, a.size(), 0, 0, cv::INTER_AREA);
        cv::Mat pair;
        cv::hconcat(std::vector<cv::Mat>{a, cv::Mat(a.rows, 4, CV_8UC3, cv::Scalar::all(255)), b},
                    pair);
        tiles.push_back(pair);
    }
    if (montagePath.empty() || tiles.empty()) return;
    // Two pairs a row, padded to the widest row.
    std::vector<cv::Mat> rows;
    int width = 0;
    for (std::size_t i = 0; i < tiles.size(); i += 2) {
        std::vector<cv::Mat> parts{tiles[i]};
        if (i + 1 < tiles.size()) {
            parts.push_back(cv::Mat(tileHeight, 12, CV_8UC3, cv::Scalar::all(255)));
            parts.push_back(tiles[i + 1]);
        }
        cv::Mat row;
        cv::hconcat(parts, row);
        width = std::max(width, row.cols);
        rows.push_back(row);
    }
    std::vector<cv::Mat> padded;
    for (cv::Mat& row : rows) {
        cv::copyMakeBorder(row, row, 6, 6, 6, 6 + width - row.cols, cv::BORDER_CONSTANT,
                           cv::Scalar::all(255));
        padded.push_back(row);
    }
    cv::Mat montage;
    cv::vconcat(padded, montage);
    cv::imwrite(montagePath, montage, {cv::IMWRITE_PNG_COMPRESSION, 9});
    std::printf("montage: %s (%dx%d)\n", montagePath.c_str(), montage.cols, montage.rows);
}

}  // namespace

int main(int argc, char** argv) {
    cv::Size size(1024, 768);
    std::string photos, montage, dump;
    bool large = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--size" && hasValue) {
            if (std::sscanf(argv[++i], "%dx%d", &size.width, &size.height) != 2) return 2;
        } else if (arg == "--photos" && hasValue) {
            photos = argv[++i];
        } else if (arg == "--montage" && hasValue) {
            montage = argv[++i];
        } else if (arg == "--dump" && hasValue) {
            dump = argv[++i];
        } else if (arg == "--no-large") {
            large = false;
        } else {
            std::fprintf(stderr,
                         "usage: bench_cutout [--size WxH] [--photos DIR] [--montage FILE.png] "
                         "[--dump DIR] [--no-large]\n");
            return 2;
        }
    }
    cv::setNumThreads(1);     // one core, as a job gets on a busy server
    mallopt(M_ARENA_MAX, 1);  // as vorpane-server sets it
    const vserver::BackgroundRemover remover;

    std::map<std::string, Tally> oldTally, newTally;
    std::vector<std::string> order;
    for (Backdrop b : composites::kBackdrops)
        order.push_back(std::string("backdrop ") + composites::name(b));
    for (Subject s : composites::kSubjects)
        order.push_back(std::string("subject ") + composites::name(s));
    order.insert(order.end(), {"plain backdrops", "edge-touching subjects", "overall"});
    const auto add = [&](const std::string& kind, const composites::Score& o,
                         const composites::Score& n) {
        oldTally[kind].add(o);
        newTally[kind].add(n);
    };
    double oldSeconds = 0, newSeconds = 0, megapixels = 0;
    std::printf("Composites of %dx%d, each subject over each backdrop\n", size.width, size.height);
    std::printf("%-12s %-12s %8s %8s\n", "backdrop", "subject", "old IoU", "new IoU");
    for (Backdrop backdrop : composites::kBackdrops) {
        for (Subject subject : composites::kSubjects) {
            const composites::Composite c = composites::make(subject, backdrop, size);
            double t = cpuSeconds();
            const cv::Mat oldAlpha = oldForegroundAlpha(c.bgr);
            oldSeconds += cpuSeconds() - t;
            t = cpuSeconds();
            const cv::Mat newAlpha = remover.foregroundAlpha(c.bgr);
            newSeconds += cpuSeconds() - t;
            megapixels += c.bgr.total() / 1e6;
            const composites::Score o = composites::score(oldAlpha, c.alpha);
            const composites::Score n = composites::score(newAlpha, c.alpha);
            std::printf("%-12s %-12s %8.3f %8.3f\n", composites::name(backdrop),
                        composites::name(subject), o.iou, n.iou);
            if (!dump.empty()) {
                cv::Mat o3, n3, row;
                cv::cvtColor(oldAlpha, o3, cv::COLOR_GRAY2BGR);
                cv::cvtColor(newAlpha, n3, cv::COLOR_GRAY2BGR);
                cv::hconcat(std::vector<cv::Mat>{c.bgr, o3, n3}, row);
                cv::imwrite(dump + "/" + composites::name(backdrop) + "-" +
                                composites::name(subject) + ".png",
                            row);
            }
            const bool plain = backdrop == Backdrop::Studio || backdrop == Backdrop::Gradient;
            const bool edge = subject == Subject::Bottom || subject == Subject::Side;
            add(std::string("backdrop ") + composites::name(backdrop), o, n);
            add(std::string("subject ") + composites::name(subject), o, n);
            if (plain) add("plain backdrops", o, n);
            if (edge) add("edge-touching subjects", o, n);
            add("overall", o, n);
        }
    }
    std::printf("\n%-26s | %8s %9s | %8s %9s\n", "kind (mean)", "old IoU", "old edge", "new IoU",
                "new edge");
    for (const std::string& kind : order) {
        const Tally& o = oldTally[kind];
        const Tally& n = newTally[kind];
        std::printf("%-26s | %8.3f %9.3f | %8.3f %9.3f\n", kind.c_str(), o.iou / o.n, o.edge / o.n,
                    n.iou / n.n, n.edge / n.n);
    }
    std::printf("time per megapixel (alpha only): old %.3f s, new %.3f s\n",
                oldSeconds / megapixels, newSeconds / megapixels);

    if (large) {
        std::printf("\nOne job on one core: alpha only, and the whole PNG result\n");
        std::printf("%-22s %-6s %9s %9s %11s\n", "picture", "method", "alpha s", "render s",
                    "peak MB");
        const cv::Size sizes[] = {{1732, 1155}, {4000, 3000}};
        const std::pair<Subject, Backdrop> scenes[] = {{Subject::Label, Backdrop::Studio},
                                                       {Subject::Bottom, Backdrop::Busy}};
        for (const cv::Size& s : sizes) {
            for (const auto& [subject, backdrop] : scenes) {
                const composites::Composite c = composites::make(subject, backdrop, s);
                char label[64];
                std::snprintf(label, sizeof label, "%.0f MP %s/%s", s.area() / 1e6,
                              composites::name(backdrop), composites::name(subject));
                const JobCost oldAlpha = measure([&] { oldForegroundAlpha(c.bgr); });
                const JobCost oldJob = measure([&] { oldRender(c.bgr); });
                const JobCost newAlpha = measure([&] { remover.foregroundAlpha(c.bgr); });
                const JobCost newJob = measure([&] { remover.render(c.bgr, {}); });
                std::printf("%-22s %-6s %9.3f %9.3f %11.1f\n", label, "old", oldAlpha.seconds,
                            oldJob.seconds, oldJob.peakKb / 1024.0);
                std::printf("%-22s %-6s %9.3f %9.3f %11.1f\n", label, "new", newAlpha.seconds,
                            newJob.seconds, newJob.peakKb / 1024.0);
            }
        }
    }
    if (!photos.empty()) photographs(photos, montage);
    return 0;
}
