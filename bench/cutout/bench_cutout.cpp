// Measures the cut-outs of vorpane-server against pictures with a known answer, for the classical
// method ("old") and the segmentation network ("new", the installed model or --model) side by
// side. First photographed objects with their true alpha (the stamps of tuxpaint-stamps-default)
// over studio sweeps, gradients and opencv-doc photographs, sharp and blurred, centred, standing
// on the bottom edge and cut by a side: IoU of alpha above one half and the mean alpha error
// within 8 px of the true outline, per scene and placement. Then drawn composites (textured
// subjects over four kinds of backdrop, edge error within 2 px). Then the wall time and peak
// memory of one job at 2 and 12 megapixels, and with --photos the opencv-doc photographs (and
// --montage them beside their cut-outs on a checkerboard).
//
//   bench_cutout [--model PATH] [--photos DIR] [--montage FILE.png] [--stamps N] [--size WxH]
//                [--set tuned|held-out|both] [--dump DIR] [--no-large] [--no-drawn]
//
// --photos defaults to /usr/share/doc/opencv-doc/examples; --dump writes each stamp composite
// beside its two cut-outs into DIR. The stamps come in two sets of twenty: the cut-out's rules
// were settled on the first ("tuned"), the second ("held-out") checks them on other objects.

#include "BackgroundRemover.h"
#include "Cli.h"
#include "Composites.h"
#include "SegmentationNet.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using composites::Backdrop;
using composites::Subject;

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
// The least wall time of two runs (on a shared machine the others only add waiting), and the
// peak of the last.
JobCost measure(const std::function<void()>& job) {
    JobCost cost;
    cost.seconds = 1e9;
    for (int run = 0; run < 2; ++run) {
        // As vorpane-server does after each job: freed memory goes back to the system, so each
        // job's peak is its own and its pages are fresh.
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = statusKb("VmRSS:");
        const double start = wallSeconds();
        job();
        cost.seconds = std::min(cost.seconds, wallSeconds() - start);
        cost.peakKb = statusKb("VmHWM:") - before;
    }
    return cost;
}

struct Tally {
    double iou = 0, edge = 0, least = 1;
    int n = 0, below = 0;
    void add(const composites::Score& s) {
        iou += s.iou;
        edge += s.boundaryError;
        least = std::min(least, s.iou);
        below += s.iou < 0.7;
        ++n;
    }
};

// Kinds in the order they were first met, with the old and the new method's tallies.
struct Table {
    std::vector<std::string> order;
    std::map<std::string, Tally> old, now;
    void add(const std::string& kind, const composites::Score& o, const composites::Score& n) {
        if (!old.count(kind)) order.push_back(kind);
        old[kind].add(o);
        now[kind].add(n);
    }
    void print() const {
        std::printf("\n%-26s | %7s %8s %6s | %7s %8s %6s %5s\n", "kind (mean)", "old IoU",
                    "old edge", "least", "new IoU", "new edge", "least", "<0.7");
        for (const std::string& kind : order) {
            const Tally& o = old.at(kind);
            const Tally& n = now.at(kind);
            std::printf("%-26s | %7.3f %8.3f %6.3f | %7.3f %8.3f %6.3f %5d\n", kind.c_str(),
                        o.iou / o.n, o.edge / o.n, o.least, n.iou / n.n, n.edge / n.n, n.least,
                        n.below);
        }
    }
};

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

cv::Mat grey3(const cv::Mat& alpha) {
    cv::Mat out;
    cv::cvtColor(alpha, out, cv::COLOR_GRAY2BGR);
    return out;
}

// Sharp, busy scenes from opencv-doc, a heap of fruit and a crowd among them.
const char* const kScenePhotos[] = {"data/fruits.jpg", "data/building.jpg", "data/messi5.jpg",
                                    "data/home.jpg",   "data/leuvenA.jpg",  "data/aloeL.jpg"};

void stamps(const vserver::BackgroundRemover& old, const vserver::BackgroundRemover& now,
            const char* const (&list)[20], const char* title, const std::string& photos, int count,
            const std::string& dump) {
    const cv::Size size(1024, 768);
    std::printf("\n%s: stamps of %s over scenes, %dx%d\n", title, composites::kStampFolder,
                size.width, size.height);
    std::printf("%-24s %-13s %-13s | %7s %7s | %8s %8s | %6s\n", "stamp", "scene", "placement",
                "old IoU", "new IoU", "old edge", "new edge", "new s");
    Table table;
    double seconds = 0;
    int n = 0;
    for (int i = 0; i < count && i < 20; ++i) {
        for (int p = 0; p < 3; ++p) {
            const composites::Scene scene = composites::kScenes[(i + p) % 4];
            const composites::Placement placement = composites::kPlacements[p];
            // Each scene under each placement meets most of the photos, not always the same one.
            const std::string photo =
                photos + "/" + kScenePhotos[(i + i / 4 + 3 * p) % std::size(kScenePhotos)];
            const composites::Composite c =
                composites::stamp(std::string(composites::kStampFolder) + "/" + list[i], scene,
                                  placement, size, photo);
            std::string label = list[i];
            label = label.substr(label.find_last_of('/') + 1);
            if (c.bgr.empty()) {
                std::printf("%-24s missing (or its scene %s)\n", label.c_str(), photo.c_str());
                continue;
            }
            const cv::Mat o = old.foregroundAlpha(c.bgr);
            const double t = wallSeconds();
            const cv::Mat a = now.foregroundAlpha(c.bgr);
            const double took = wallSeconds() - t;
            seconds += took;
            ++n;
            const composites::Score so = composites::score(o, c.alpha, 8);
            const composites::Score sn = composites::score(a, c.alpha, 8);
            std::printf("%-24s %-13s %-13s | %7.3f %7.3f | %8.3f %8.3f | %6.2f\n", label.c_str(),
                        composites::name(scene), composites::name(placement), so.iou, sn.iou,
                        so.boundaryError, sn.boundaryError, took);
            std::fflush(stdout);
            table.add(std::string("scene ") + composites::name(scene), so, sn);
            table.add(std::string("placement ") + composites::name(placement), so, sn);
            table.add("overall", so, sn);
            if (!dump.empty()) {
                cv::Mat row;
                cv::hconcat(std::vector<cv::Mat>{c.bgr, grey3(o), grey3(a)}, row);
                cv::imwrite(dump + "/" + label + "-" + std::to_string(p) + ".jpg", row);
            }
        }
    }
    if (n == 0) return;
    table.print();
    std::printf("new method: %.2f s per picture (wall)\n", seconds / n);
}

void drawn(const vserver::BackgroundRemover& old, const vserver::BackgroundRemover& now,
           cv::Size size) {
    std::printf("\nDrawn composites of %dx%d, each subject over each backdrop\n", size.width,
                size.height);
    std::printf("%-12s %-12s %8s %8s\n", "backdrop", "subject", "old IoU", "new IoU");
    Table table;
    for (Backdrop backdrop : composites::kBackdrops) {
        for (Subject subject : composites::kSubjects) {
            const composites::Composite c = composites::make(subject, backdrop, size);
            const composites::Score o = composites::score(old.foregroundAlpha(c.bgr), c.alpha);
            const composites::Score n = composites::score(now.foregroundAlpha(c.bgr), c.alpha);
            std::printf("%-12s %-12s %8.3f %8.3f\n", composites::name(backdrop),
                        composites::name(subject), o.iou, n.iou);
            std::fflush(stdout);
            const bool plain = backdrop == Backdrop::Studio || backdrop == Backdrop::Gradient;
            const bool edge = subject == Subject::Bottom || subject == Subject::Side;
            table.add(std::string("backdrop ") + composites::name(backdrop), o, n);
            table.add(std::string("subject ") + composites::name(subject), o, n);
            if (plain) table.add("plain backdrops", o, n);
            if (edge) table.add("edge-touching subjects", o, n);
            table.add("overall", o, n);
        }
    }
    table.print();
}

void large(const vserver::BackgroundRemover& old, const vserver::BackgroundRemover& now,
           vserver::SegmentationNets* nets) {
    std::printf(
        "\nOne job, wall time (OpenCV on %d threads): the network alone, the alpha, the "
        "whole PNG result, and the job's peak memory\n",
        cv::getNumThreads());
    // A network keeps its layers' buffers between jobs: they are held by the slot, on top of
    // what each job adds.
    std::printf("resident before the jobs (with %s): %.1f MB\n",
                nets ? "one network, after a first run" : "no network",
                statusKb("VmRSS:") / 1024.0);
    std::printf("%-22s %-6s %9s %9s %9s %9s\n", "picture", "method", "net s", "alpha s", "render s",
                "peak MB");
    const cv::Size sizes[] = {{1732, 1155}, {4000, 3000}};
    for (const cv::Size& s : sizes) {
        const composites::Composite c = composites::make(Subject::Bottom, Backdrop::Busy, s);
        char label[64];
        std::snprintf(label, sizeof label, "%.0f MP busy/bottom", s.area() / 1e6);
        const JobCost oldAlpha = measure([&] { old.foregroundAlpha(c.bgr); });
        const JobCost oldJob = measure([&] { old.render(c.bgr, {}); });
        std::printf("%-22s %-6s %9s %9.3f %9.3f %9.1f\n", label, "old", "-", oldAlpha.seconds,
                    oldJob.seconds, oldJob.peakKb / 1024.0);
        if (!nets) continue;
        const JobCost net = measure([&] {
            vserver::SegmentationNets::Lease lease(*nets);
            lease.net().likelihood(c.bgr);
        });
        const JobCost newAlpha = measure([&] { now.foregroundAlpha(c.bgr); });
        const JobCost newJob = measure([&] { now.render(c.bgr, {}); });
        std::printf("%-22s %-6s %9.3f %9.3f %9.3f %9.1f\n", label, "new", net.seconds,
                    newAlpha.seconds, newJob.seconds, newJob.peakKb / 1024.0);
    }
}

void photographs(const vserver::BackgroundRemover& old, const vserver::BackgroundRemover& now,
                 const std::string& folder, const std::string& montagePath) {
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
    std::vector<cv::Mat> tiles;
    const int tileHeight = 140;
    std::printf("\nPhotographs from %s\n", folder.c_str());
    std::printf("%-36s %10s %9s %9s\n", "file", "size", "old s", "new s");
    for (const char* file : files) {
        const std::string path = folder + "/" + file;
        const cv::Mat bgr = cv::imread(path, cv::IMREAD_COLOR);
        if (bgr.empty()) {
            std::printf("%-36s missing\n", file);
            continue;
        }
        const double t0 = wallSeconds();
        const cv::Mat oldAlpha = old.foregroundAlpha(bgr);
        const double oldSeconds = wallSeconds() - t0;
        const double t1 = wallSeconds();
        const std::vector<unsigned char> png = now.render(bgr, {});
        const double newSeconds = wallSeconds() - t1;
        const cv::Mat bgra = cv::imdecode(png, cv::IMREAD_UNCHANGED);
        std::printf("%-36s %4dx%-5d %9.3f %9.3f", file, bgr.cols, bgr.rows, oldSeconds, newSeconds);
        // The plant comes with a reference matte.
        const std::string truthPath = folder + "/alphamat/output_mattes/plant_result.png";
        if (std::strstr(file, "plant") != nullptr) {
            const cv::Mat truth = cv::imread(truthPath, cv::IMREAD_GRAYSCALE);
            if (truth.size() == bgr.size()) {
                cv::Mat newAlpha;
                cv::extractChannel(bgra, newAlpha, 3);
                const auto o = composites::score(oldAlpha, truth);
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
    std::string photos = "/usr/share/doc/opencv-doc/examples", montage, dump;
    std::string model = vserver::Cli::defaultModelPath();
    int stampCount = 20;
    bool withLarge = true, withDrawn = true;
    std::string set = "both";
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
        } else if (arg == "--model" && hasValue) {
            model = argv[++i];
        } else if (arg == "--stamps" && hasValue) {
            stampCount = std::atoi(argv[++i]);
        } else if (arg == "--set" && hasValue) {
            set = argv[++i];
        } else if (arg == "--no-large") {
            withLarge = false;
        } else if (arg == "--no-drawn") {
            withDrawn = false;
        } else {
            std::fprintf(stderr,
                         "usage: bench_cutout [--model PATH] [--photos DIR] [--montage FILE.png] "
                         "[--stamps N] [--size WxH] [--set tuned|held-out|both] [--dump DIR] "
                         "[--no-large] [--no-drawn]\n");
            return 2;
        }
    }
    mallopt(M_ARENA_MAX, 1);  // as vorpane-server sets it
    // As vorpane-server runs one job with a network: all cores for its layers.
    cv::setNumThreads(static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
    std::unique_ptr<vserver::SegmentationNets> nets;
    try {
        nets = std::make_unique<vserver::SegmentationNets>(model, 1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_cutout: no network (%s: %s); both columns are classical\n",
                     model.c_str(), e.what());
    }
    const vserver::BackgroundRemover old;
    const vserver::BackgroundRemover now(nets.get());

    if (stampCount > 0 && set != "held-out")
        stamps(old, now, composites::kStamps, "Tuned set", photos, stampCount, dump);
    if (stampCount > 0 && set != "tuned")
        stamps(old, now, composites::kHeldOutStamps, "Held-out set", photos, stampCount, dump);
    if (withDrawn) drawn(old, now, size);
    if (withLarge) large(old, now, nets.get());
    photographs(old, now, photos, montage);
    return 0;
}
