#pragma once

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vserver {

// How a salient-object model wants its input, read from the JSON file beside it ("model.onnx"
// comes with "model.json"):
//   {"input": "input", "output": "output", "size": [1024, 1024],
//    "mean": [0.5, 0.5, 0.5], "std": [1, 1, 1], "channels": "rgb"}
// The photo is resized to `size` (width, height), scaled to 0..1, and each channel has its
// mean taken off and is divided by its std. The output is one channel of the same size, the
// likelihood (0..1) that a pixel belongs to the subject.
struct ModelConfig {
    std::string input = "input";
    std::string output = "output";
    cv::Size size{1024, 1024};
    cv::Scalar mean{0.5, 0.5, 0.5};
    cv::Scalar std{1, 1, 1};
    bool rgb = true;  // the channels in red, green, blue order (else blue, green, red)

    // Throws std::runtime_error naming what is wrong.
    static ModelConfig parse(const std::string& json);
};

// One network. cv::dnn::Net keeps its buffers between calls and is not safe to share between
// threads: each job slot has its own.
class SegmentationNet final {
public:
    SegmentationNet(const std::vector<unsigned char>& model, const ModelConfig& config);

    // The subject likelihood at the model's input size (CV_32F, 0..1) for an 8-bit BGR photo.
    cv::Mat likelihood(const cv::Mat& bgr);
    const ModelConfig& config() const { return config_; }

private:
    cv::dnn::Net net_;
    ModelConfig config_;
};

// The networks of all job slots, loaded from one model file. acquire() lends a free one, waiting
// while all are in use.
class SegmentationNets final {
public:
    // Loads the model and its JSON once per slot and runs it once, so a file that does not load
    // or whose output is not one channel of the input's size is refused here. Throws
    // std::runtime_error with the reason.
    SegmentationNets(const std::string& modelPath, std::size_t count);

    // "name.onnx" -> "name.json".
    static std::string configPath(const std::string& modelPath);

    class Lease final {
    public:
        explicit Lease(SegmentationNets& nets);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        SegmentationNet& net() { return *net_; }

    private:
        SegmentationNets& nets_;
        SegmentationNet* net_;
    };

    const ModelConfig& config() const { return config_; }
    std::size_t count() const { return nets_.size(); }

private:
    ModelConfig config_;
    std::vector<std::unique_ptr<SegmentationNet>> nets_;
    std::vector<SegmentationNet*> free_;
    std::mutex mutex_;
    std::condition_variable available_;
};

}  // namespace vserver
