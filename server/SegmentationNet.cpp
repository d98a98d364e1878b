#include "SegmentationNet.h"

#include <opencv2/imgproc.hpp>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace vserver {

namespace {

// The few shapes of value a model's JSON holds: a string, or an array of numbers.
struct JsonValue {
    std::string text;
    std::vector<double> numbers;
    bool isText = false;
};

// Reads one flat object of strings and number arrays; anything else is refused.
std::map<std::string, JsonValue> parseFlatObject(const std::string& json) {
    std::size_t i = 0;
    const auto fail = [](const std::string& what) {
        throw std::runtime_error("model description: " + what);
    };
    const auto skip = [&] {
        while (i < json.size() && std::isspace(static_cast<unsigned char>(json[i]))) ++i;
    };
    const auto expect = [&](char c) {
        skip();
        if (i >= json.size() || json[i] != c) fail(std::string("expected '") + c + "'");
        ++i;
    };
    const auto string = [&] {
        expect('"');
        std::string out;
        while (i < json.size() && json[i] != '"') {
            if (json[i] == '\\') fail("escapes are not supported");
            out += json[i++];
        }
        if (i >= json.size()) fail("unterminated string");
        ++i;
        return out;
    };
    std::map<std::string, JsonValue> out;
    expect('{');
    skip();
    if (i < json.size() && json[i] == '}') return out;
    while (true) {
        const std::string key = string();
        expect(':');
        skip();
        JsonValue value;
        if (i < json.size() && json[i] == '"') {
            value.text = string();
            value.isText = true;
        } else {
            expect('[');
            while (true) {
                skip();
                const char* start = json.c_str() + i;
                char* end = nullptr;
                const double v = std::strtod(start, &end);
                if (end == start) fail("\"" + key + "\" wants numbers");
                value.numbers.push_back(v);
                i += static_cast<std::size_t>(end - start);
                skip();
                if (i < json.size() && json[i] == ',') {
                    ++i;
                    continue;
                }
                expect(']');
                break;
            }
        }
        out[key] = value;
        skip();
        if (i < json.size() && json[i] == ',') {
            ++i;
            continue;
        }
        expect('}');
        break;
    }
    return out;
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

ModelConfig ModelConfig::parse(const std::string& json) {
    const std::map<std::string, JsonValue> values = parseFlatObject(json);
    ModelConfig config;
    const auto text = [&](const char* key, std::string& out) {
        const auto it = values.find(key);
        if (it == values.end()) return;
        if (!it->second.isText || it->second.text.empty()) {
            throw std::runtime_error(std::string("model description: \"") + key +
                                     "\" wants a name");
        }
        out = it->second.text;
    };
    const auto numbers = [&](const char* key, std::size_t n) -> const std::vector<double>* {
        const auto it = values.find(key);
        if (it == values.end()) return nullptr;
        if (it->second.isText || it->second.numbers.size() != n) {
            throw std::runtime_error(std::string("model description: \"") + key + "\" wants " +
                                     std::to_string(n) + " numbers");
        }
        return &it->second.numbers;
    };
    text("input", config.input);
    text("output", config.output);
    if (const auto* size = numbers("size", 2)) {
        const double w = (*size)[0], h = (*size)[1];
        if (w < 8 || h < 8 || w > 4096 || h > 4096 || w != int(w) || h != int(h)) {
            throw std::runtime_error(
                "model description: \"size\" wants two whole numbers "
                "from 8 to 4096");
        }
        config.size = cv::Size(int(w), int(h));
    }
    if (const auto* mean = numbers("mean", 3)) config.mean = {(*mean)[0], (*mean)[1], (*mean)[2]};
    if (const auto* std = numbers("std", 3)) {
        for (double s : *std) {
            if (!(s > 0)) throw std::runtime_error("model description: \"std\" must be positive");
        }
        config.std = {(*std)[0], (*std)[1], (*std)[2]};
    }
    std::string channels = "rgb";
    text("channels", channels);
    if (channels != "rgb" && channels != "bgr") {
        throw std::runtime_error("model description: \"channels\" is \"rgb\" or \"bgr\"");
    }
    config.rgb = channels == "rgb";
    return config;
}

SegmentationNet::SegmentationNet(const std::vector<unsigned char>& model, const ModelConfig& config)
    : net_(cv::dnn::readNetFromONNX(model)), config_(config) {
    net_.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net_.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
}

cv::Mat SegmentationNet::likelihood(const cv::Mat& bgr) {
    CV_Assert(bgr.type() == CV_8UC3 && !bgr.empty());
    const bool shrink = bgr.cols >= config_.size.width && bgr.rows >= config_.size.height;
    cv::Mat resized;
    cv::resize(bgr, resized, config_.size, 0, 0, shrink ? cv::INTER_AREA : cv::INTER_LINEAR);
    // (pixel / 255 - mean) / std, channel by channel, in the model's channel order.
    cv::Mat input;
    resized.convertTo(input, CV_32FC3, 1.0 / 255);
    cv::Scalar mean = config_.mean;
    cv::Scalar std = config_.std;
    if (config_.rgb) {
        cv::cvtColor(input, input, cv::COLOR_BGR2RGB);
    }
    input -= mean;
    cv::divide(input, std, input);
    net_.setInput(cv::dnn::blobFromImage(input), config_.input);
    cv::Mat out = net_.forward(config_.output);
    if (out.dims != 4 || out.size[0] != 1 || out.size[1] != 1 ||
        out.size[2] != config_.size.height || out.size[3] != config_.size.width) {
        std::string shape;
        for (int d = 0; d < out.dims; ++d) shape += (d ? "x" : "") + std::to_string(out.size[d]);
        throw std::runtime_error("the output \"" + config_.output + "\" is " + shape +
                                 ", not one channel of " + std::to_string(config_.size.width) +
                                 "x" + std::to_string(config_.size.height));
    }
    cv::Mat likelihood(config_.size, CV_32F, out.ptr<float>());
    cv::Mat clipped;
    cv::min(cv::max(likelihood, 0.0), 1.0, clipped);
    return clipped;
}

SegmentationNets::SegmentationNets(const std::string& modelPath, std::size_t count) {
    std::vector<unsigned char> model = readFile(modelPath);
    const std::vector<unsigned char> json = readFile(configPath(modelPath));
    config_ = ModelConfig::parse(std::string(json.begin(), json.end()));
    for (std::size_t i = 0; i < std::max<std::size_t>(1, count); ++i) {
        try {
            nets_.push_back(std::make_unique<SegmentationNet>(model, config_));
        } catch (const cv::Exception& e) {
            throw std::runtime_error("OpenCV cannot read it (" + e.err + ")");
        }
        free_.push_back(nets_.back().get());
    }
    // The first run checks the input and output, and sets up the layers' buffers.
    try {
        nets_.front()->likelihood(cv::Mat(config_.size, CV_8UC3, cv::Scalar::all(128)));
    } catch (const cv::Exception& e) {
        throw std::runtime_error("it does not run on a picture of " +
                                 std::to_string(config_.size.width) + "x" +
                                 std::to_string(config_.size.height) + " (" + e.err + ")");
    }
}

std::string SegmentationNets::configPath(const std::string& modelPath) {
    const std::size_t slash = modelPath.find_last_of('/');
    const std::size_t dot = modelPath.find_last_of('.');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExtension ? modelPath.substr(0, dot) : modelPath) + ".json";
}

SegmentationNets::Lease::Lease(SegmentationNets& nets) : nets_(nets) {
    std::unique_lock<std::mutex> lock(nets_.mutex_);
    nets_.available_.wait(lock, [this] { return !nets_.free_.empty(); });
    net_ = nets_.free_.back();
    nets_.free_.pop_back();
}

SegmentationNets::Lease::~Lease() {
    {
        std::lock_guard<std::mutex> lock(nets_.mutex_);
        nets_.free_.push_back(net_);
    }
    nets_.available_.notify_one();
}

}  // namespace vserver
