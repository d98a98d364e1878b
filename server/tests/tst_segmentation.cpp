// The cut-out of vorpane-server with a segmentation network. A tiny network written by the test
// (with Debian's python3-onnx; the same input and output as the real model) makes the subject
// whatever is red, so what the network is given and what becomes of its answer can be checked
// exactly; with the real model installed, photographed objects over scenes.

#include "BackgroundRemover.h"
#include "Cli.h"
#include "Composites.h"
#include "SegmentationNet.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <memory>
#include <thread>

using vserver::BackgroundRemover;
using vserver::SegmentationNets;

Q_DECLARE_METATYPE(composites::Scene)
Q_DECLARE_METATYPE(composites::Placement)

namespace {

// output = sigmoid(40 * first channel), the first channel as the model is given it (the first
// N channels with N as its second argument).
const char* const kTinyModel = R"(
import sys
import onnx
from onnx import TensorProto, helper
def const(name, kind, values):
    return helper.make_node("Constant", [], [name],
                            value=helper.make_tensor(name, kind, [len(values)], values))
nodes = [const("starts", TensorProto.INT64, [0]), const("ends", TensorProto.INT64, [int(sys.argv[2])]),
         const("axes", TensorProto.INT64, [1]), const("gain", TensorProto.FLOAT, [40.0]),
         helper.make_node("Slice", ["input", "starts", "ends", "axes"], ["first"]),
         helper.make_node("Mul", ["first", "gain"], ["scaled"]),
         helper.make_node("Sigmoid", ["scaled"], ["output"])]
shape = [1, int(sys.argv[2]), 1024, 1024]
graph = helper.make_graph(
    nodes, "tiny", [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, 1024, 1024])],
    [helper.make_tensor_value_info("output", TensorProto.FLOAT, shape)])
model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
model.ir_version = 8
onnx.save(model, sys.argv[1])
)";

const char* const kConfig =
    R"({"input": "input", "output": "output", "size": [1024, 1024], "mean": [%1, 0.5, 0.5],
        "std": [1, 1, 1], "channels": "%2"})";

void write(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Left third red, middle third dull red (red at 0.4), right third blue; 400x300.
cv::Mat thirds() {
    cv::Mat image(300, 400, CV_8UC3, cv::Scalar(200, 30, 30));
    image.colRange(0, 133).setTo(cv::Scalar(30, 30, 200));
    image.colRange(133, 266).setTo(cv::Scalar(30, 30, 102));
    return image;
}

}  // namespace

class SegmentationTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    // The tiny model, its JSON with the given mean of the first channel and channel order.
    QString model(const QString& name, double mean = 0.5, const char* channels = "rgb") {
        const QString path = dir_.filePath(name + ".onnx");
        if (!QFile::exists(path)) {
            QProcess python;
            python.start("/usr/bin/python3", {"-c", kTinyModel, path, "1"});
            if (!python.waitForFinished(60000) || python.exitCode() != 0) return {};
        }
        write(dir_.filePath(name + ".json"), QString(kConfig).arg(mean).arg(channels).toUtf8());
        return path;
    }

private slots:
    void initTestCase() {
        QProcess probe;
        probe.start("/usr/bin/python3", {"-c", "import onnx"});
        if (!probe.waitForFinished(30000) || probe.exitCode() != 0)
            QSKIP("python3-onnx is not installed: no model to test with");
    }

    void normalisation_data() {
        QTest::addColumn<double>("mean");
        QTest::addColumn<QString>("channels");
        QTest::addColumn<QString>("subject");  // of the thirds: left, middle, right
        // clang-format off
        QTest::newRow("red, mean 0.5") << 0.5 << "rgb" << "100";
        QTest::newRow("red, mean 0.3: the dull red too") << 0.3 << "rgb" << "110";
        QTest::newRow("blue first") << 0.5 << "bgr" << "001";
        // clang-format on
    }

    // The picture reaches the network scaled to 0..1, less the mean, in the model's channel
    // order; its answer comes back at the picture's size.
    void normalisation() {
        QFETCH(double, mean);
        QFETCH(QString, channels);
        QFETCH(QString, subject);
        const QString path = model("norm", mean, qPrintable(channels));
        QVERIFY(!path.isEmpty());
        SegmentationNets nets(path.toStdString(), 1);
        const cv::Mat alpha = BackgroundRemover(&nets).foregroundAlpha(thirds());
        QCOMPARE(alpha.size(), cv::Size(400, 300));
        QString seen;
        for (int x : {60, 200, 340}) seen += alpha.at<uchar>(150, x) > 127 ? '1' : '0';
        QCOMPARE(seen, subject);
    }

    // The result keeps the picture's size and orientation, the subject where it was, in either
    // format; a strip the network cannot take and a tiny picture still get an answer.
    void results() {
        SegmentationNets nets(model("tiny").toStdString(), 1);
        const BackgroundRemover remover(&nets);
        cv::Mat portrait(500, 300, CV_8UC3, cv::Scalar(180, 170, 60));
        cv::circle(portrait, {80, 380}, 50, cv::Scalar(40, 40, 220), cv::FILLED);
        const cv::Mat png = cv::imdecode(remover.render(portrait, {}), cv::IMREAD_UNCHANGED);
        QCOMPARE(png.size(), portrait.size());
        QCOMPARE(png.channels(), 4);
        QCOMPARE(int(png.at<cv::Vec4b>(380, 80)[3]), 255);
        QCOMPARE(int(png.at<cv::Vec4b>(100, 220)[3]), 0);
        QCOMPARE(int(png.at<cv::Vec4b>(380, 200)[3]), 0);
        // The edge follows the picture, not the network's coarser grid.
        QVERIFY(png.at<cv::Vec4b>(380, 80 - 47)[3] > 200);
        QVERIFY(png.at<cv::Vec4b>(380, 80 - 54)[3] < 55);

        vserver::RemovalOptions jpg;
        jpg.format = vserver::OutputFormat::Jpg;
        jpg.background = vserver::Rgb{0, 0, 0};
        const cv::Mat flat = cv::imdecode(remover.render(portrait, jpg), cv::IMREAD_COLOR);
        QCOMPARE(flat.size(), portrait.size());
        QVERIFY(cv::norm(flat.at<cv::Vec3b>(100, 220)) < 20);
        QVERIFY(cv::norm(flat.at<cv::Vec3b>(380, 80) - cv::Vec3b(40, 40, 220)) < 20);

        for (const cv::Size size : {cv::Size(300, 1), cv::Size(1, 40), cv::Size(8, 8)}) {
            const cv::Mat red(size, CV_8UC3, cv::Scalar(40, 40, 220));
            QVERIFY(!remover.usesNetwork(size));
            QCOMPARE(remover.foregroundAlpha(red).size(), size);
            QVERIFY(!remover.render(red, {}).empty());
        }
    }

    // Two jobs at once, each with its own network, give what each gives alone, every time.
    void repeatableSideBySide() {
        SegmentationNets nets(model("tiny").toStdString(), 2);
        const BackgroundRemover remover(&nets);
        const cv::Mat a = thirds();
        cv::Mat b;
        cv::flip(thirds(), b, 1);
        const cv::Mat aloneA = remover.foregroundAlpha(a);
        const cv::Mat aloneB = remover.foregroundAlpha(b);
        cv::Mat sideA, sideB;
        std::thread other([&] { sideB = remover.foregroundAlpha(b); });
        sideA = remover.foregroundAlpha(a);
        other.join();
        QCOMPARE(cv::countNonZero(aloneA != sideA), 0);
        QCOMPARE(cv::countNonZero(aloneB != sideB), 0);
        QCOMPARE(cv::countNonZero(aloneA != remover.foregroundAlpha(a)), 0);
    }

    // A model that cannot be used is refused with the reason.
    void refusedModels_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        // clang-format off
        QTest::newRow("not a model") << "garbage" << "OpenCV cannot read it";
        QTest::newRow("no JSON beside it") << "no json" << "cannot read";
        QTest::newRow("JSON without the size's height") << "bad json" << "\"size\" wants 2";
        QTest::newRow("three channels out") << "shape" << "not one channel of 1024x1024";
        // clang-format on
    }

    void refusedModels() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QString path = dir_.filePath(kind + ".onnx");
        if (kind == "garbage") {
            write(path, "not a model at all");
        } else if (kind == "shape") {
            QProcess python;
            python.start("/usr/bin/python3", {"-c", kTinyModel, path, "3"});
            QVERIFY(python.waitForFinished(60000) && python.exitCode() == 0);
        } else {
            QVERIFY(QFile::copy(model("tiny"), path));
        }
        if (kind != "no json") {
            write(dir_.filePath(kind + ".json"),
                  kind == "bad json" ? R"({"size": [1024]})"
                                     : QString(kConfig).arg(0.5).arg("rgb").toUtf8());
        }
        try {
            SegmentationNets nets(path.toStdString(), 1);
            QFAIL("the model was taken");
        } catch (const std::runtime_error& e) {
            QVERIFY2(QString(e.what()).contains(reason), e.what());
        }
    }

    // The installed model on photographed objects: centred over a gradient, standing on the
    // bottom edge of a studio sweep with its shadow, cut by a side.
    void realModel_data() {
        QTest::addColumn<int>("stamp");
        QTest::addColumn<composites::Scene>("scene");
        QTest::addColumn<composites::Placement>("placement");
        QTest::newRow("giraffe over a gradient")
            << 3 << composites::Scene::Gradient << composites::Placement::Centred;
        QTest::newRow("bear on a studio sweep, bottom edge")
            << 1 << composites::Scene::Studio << composites::Placement::Bottom;
        QTest::newRow("strawberry on a studio sweep, cut by a side")
            << 7 << composites::Scene::Studio << composites::Placement::Side;
    }

    void realModel() {
        QFETCH(int, stamp);
        QFETCH(composites::Scene, scene);
        QFETCH(composites::Placement, placement);
        static std::unique_ptr<SegmentationNets> nets;
        const std::string path = vserver::Cli::defaultModelPath();
        if (!QFile::exists(QString::fromStdString(path)))
            QSKIP("no model installed (scripts/get-model installs it)");
        const composites::Composite c = composites::stamp(
            std::string(composites::kStampFolder) + "/" + composites::kStamps[stamp], scene,
            placement, cv::Size(640, 480));
        if (c.bgr.empty()) QSKIP("tuxpaint-stamps-default is not installed");
        if (!nets) nets = std::make_unique<SegmentationNets>(path, 1);
        const composites::Score s =
            composites::score(BackgroundRemover(nets.get()).foregroundAlpha(c.bgr), c.alpha, 8);
        QVERIFY2(s.iou >= 0.97, qPrintable(QString("IoU %1").arg(s.iou)));
        QVERIFY2(s.boundaryError <= 0.04, qPrintable(QString("edge %1").arg(s.boundaryError)));
    }
};

QTEST_GUILESS_MAIN(SegmentationTest)
#include "tst_segmentation.moc"
