// The cut-out of vorpane-server on small pictures with a known answer: each kind of backdrop and
// subject, regions enclosed by the subject, flat pictures, sizes, repeatability and edge colours.

#include "BackgroundRemover.h"
#include "Composites.h"

#include <QtTest>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <thread>

using composites::Backdrop;
using composites::Subject;
using vserver::BackgroundRemover;

Q_DECLARE_METATYPE(Subject)
Q_DECLARE_METATYPE(Backdrop)

namespace {

const cv::Size kSize(320, 240);

}  // namespace

class CutoutTest : public QObject {
    Q_OBJECT

private slots:
    void composites_data() {
        QTest::addColumn<Subject>("subject");
        QTest::addColumn<Backdrop>("backdrop");
        QTest::addColumn<double>("floor");
        QTest::addColumn<cv::Size>("size");
        // Plain backdrops, every subject.
        for (Backdrop b : {Backdrop::Studio, Backdrop::Gradient}) {
            for (Subject s : composites::kSubjects) {
                const double floor = s == Subject::Hair ? 0.8 : 0.93;
                QTest::addRow("%s %s", composites::name(b), composites::name(s))
                    << s << b << floor << kSize;
            }
        }
        QTest::newRow("textured label") << Subject::Label << Backdrop::Textured << 0.93 << kSize;
        QTest::newRow("textured bottom edge")
            << Subject::Bottom << Backdrop::Textured << 0.93 << kSize;
        QTest::newRow("textured side edge") << Subject::Side << Backdrop::Textured << 0.93 << kSize;
        QTest::newRow("busy label") << Subject::Label << Backdrop::Busy << 0.9 << kSize;
        // A busy backdrop's border needs a few stretches of it to tell a subject's run from it.
        QTest::newRow("busy bottom edge")
            << Subject::Bottom << Backdrop::Busy << 0.9 << cv::Size(640, 480);
        QTest::newRow("busy side edge")
            << Subject::Side << Backdrop::Busy << 0.9 << cv::Size(640, 480);
    }

    // Alpha above one half overlaps the true subject; the picture keeps its size.
    void composites() {
        QFETCH(Subject, subject);
        QFETCH(Backdrop, backdrop);
        QFETCH(double, floor);
        QFETCH(cv::Size, size);
        const composites::Composite c = composites::make(subject, backdrop, size);
        const cv::Mat alpha = BackgroundRemover().foregroundAlpha(c.bgr);
        QCOMPARE(alpha.size(), c.bgr.size());
        const composites::Score s = composites::score(alpha, c.alpha);
        QVERIFY2(s.iou >= floor, qPrintable(QString("IoU %1").arg(s.iou)));
    }

    // A small region inside the subject that looks like the backdrop (a label) stays; a large
    // one joined to nothing but clearly backdrop (the hole of a ring) goes.
    void enclosedRegions() {
        cv::Mat image(240, 320, CV_8UC3, cv::Scalar(238, 240, 242));
        cv::circle(image, {90, 120}, 70, cv::Scalar(40, 60, 150), cv::FILLED);
        cv::rectangle(image, cv::Rect(80, 112, 20, 16), cv::Scalar(238, 240, 242), cv::FILLED);
        cv::circle(image, {235, 120}, 72, cv::Scalar(150, 70, 40), 34);
        const cv::Mat alpha = BackgroundRemover().foregroundAlpha(image);
        QCOMPARE(int(alpha.at<uchar>(120, 90)), 255);  // the label
        QCOMPARE(int(alpha.at<uchar>(120, 235)), 0);   // the ring's hole
        QCOMPARE(int(alpha.at<uchar>(120, 90 + 60)), 255);
        QCOMPARE(int(alpha.at<uchar>(120, 235 + 72)), 255);
        QCOMPARE(int(alpha.at<uchar>(5, 5)), 0);
    }

    void flatPictures_data() {
        QTest::addColumn<cv::Size>("size");
        QTest::addColumn<int>("expected");  // the one alpha everywhere
        QTest::newRow("a blank photo: nothing to keep") << cv::Size(320, 240) << 0;
        QTest::newRow("one pixel high") << cv::Size(300, 1) << 255;
        QTest::newRow("a long thin strip") << cv::Size(20, 400) << 0;
        QTest::newRow("too small to tell") << cv::Size(8, 8) << 255;
    }

    // A picture of one colour gives one answer for all of it, at its size.
    void flatPictures() {
        QFETCH(cv::Size, size);
        QFETCH(int, expected);
        const cv::Mat image(size, CV_8UC3, cv::Scalar(128, 128, 128));
        const cv::Mat alpha = BackgroundRemover().foregroundAlpha(image);
        QCOMPARE(alpha.size(), size);
        double least = 0, most = 0;
        cv::minMaxLoc(alpha, &least, &most);
        QCOMPARE(int(least), expected);
        QCOMPARE(int(most), expected);
    }

    // The result file has the input's pixel size and orientation: the subject, cut by the right
    // edge of a portrait picture, is where it was, in either format.
    void resultKeepsSizeAndOrientation() {
        const composites::Composite c =
            composites::make(Subject::Side, Backdrop::Gradient, cv::Size(180, 260));
        const BackgroundRemover remover;
        const cv::Mat png = cv::imdecode(remover.render(c.bgr, {}), cv::IMREAD_UNCHANGED);
        QCOMPARE(png.size(), c.bgr.size());
        QCOMPARE(png.channels(), 4);
        cv::Mat alpha;
        cv::extractChannel(png, alpha, 3);
        QVERIFY(composites::score(alpha, c.alpha).iou >= 0.9);

        vserver::RemovalOptions jpg;
        jpg.format = vserver::OutputFormat::Jpg;
        jpg.background = vserver::Rgb{0, 0, 0};
        const cv::Mat flat = cv::imdecode(remover.render(c.bgr, jpg), cv::IMREAD_COLOR);
        QCOMPARE(flat.size(), c.bgr.size());
        QVERIFY(cv::norm(flat.at<cv::Vec3b>(130, 5)) < 30);    // backdrop, now black
        QVERIFY(cv::norm(flat.at<cv::Vec3b>(130, 175)) > 80);  // the subject
    }

    // The same picture gives the same cut-out every time, whatever ran before on the thread and
    // on whichever thread it runs.
    void sameInputSameCutout() {
        const composites::Composite c = composites::make(Subject::Hair, Backdrop::Busy, kSize);
        const BackgroundRemover remover;
        const cv::Mat first = remover.foregroundAlpha(c.bgr);
        for (int i = 0; i < 7; ++i) cv::theRNG().next();
        remover.foregroundAlpha(composites::make(Subject::Side, Backdrop::Busy, kSize).bgr);
        const cv::Mat again = remover.foregroundAlpha(c.bgr);
        cv::Mat elsewhere;
        std::thread([&] { elsewhere = remover.foregroundAlpha(c.bgr); }).join();
        QCOMPARE(cv::countNonZero(first != again), 0);
        QCOMPARE(cv::countNonZero(first != elsewhere), 0);
    }

    // Partly transparent edge pixels carry the subject's colour, not the backdrop's: a red
    // subject on green leaves no green fringe.
    void edgeColoursLoseTheBackdrop() {
        cv::Mat image(240, 320, CV_8UC3, cv::Scalar(40, 200, 40));
        cv::circle(image, {160, 120}, 70, cv::Scalar(30, 30, 210), cv::FILLED, cv::LINE_AA);
        cv::GaussianBlur(image, image, cv::Size(), 1.5);
        const cv::Mat png =
            cv::imdecode(BackgroundRemover().render(image, {}), cv::IMREAD_UNCHANGED);
        int edge = 0, fringe = 0;
        for (int y = 0; y < png.rows; ++y) {
            for (int x = 0; x < png.cols; ++x) {
                const cv::Vec4b p = png.at<cv::Vec4b>(y, x);
                if (p[3] < 64 || p[3] > 224) continue;
                ++edge;
                if (p[1] > p[2]) ++fringe;  // greener than red
            }
        }
        QVERIFY(edge > 50);
        QVERIFY2(fringe * 10 < edge, qPrintable(QString("%1 of %2").arg(fringe).arg(edge)));
    }
};

QTEST_GUILESS_MAIN(CutoutTest)
#include "tst_cutout.moc"
