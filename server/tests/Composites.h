#pragma once

// Test pictures with a known cut-out: a textured subject laid over a backdrop with a known alpha.
// Shared by the cut-out tests and bench/cutout; everything is drawn here, nothing is read from
// disk.

#include <opencv2/core.hpp>

#include <string>

namespace composites {

enum class Subject {
    Label,   // a body with a backdrop-coloured label inside it, which belongs to the subject
    Hair,    // a head with thin strands of hair around it
    Bottom,  // a half-length figure cut by the bottom edge
    Side,    // a subject cut by the right edge
};
enum class Backdrop {
    Studio,    // near white, a vignette and a soft shadow under the subject
    Gradient,  // a smooth two-colour gradient
    Textured,  // a woven fabric
    Busy,      // photo-like coloured noise at several scales
};
constexpr Subject kSubjects[] = {Subject::Label, Subject::Hair, Subject::Bottom, Subject::Side};
constexpr Backdrop kBackdrops[] = {Backdrop::Studio, Backdrop::Gradient, Backdrop::Textured,
                                   Backdrop::Busy};

const char* name(Subject subject);
const char* name(Backdrop backdrop);

struct Composite {
    cv::Mat bgr;    // the picture, 8-bit BGR
    cv::Mat alpha;  // the true alpha, 8-bit, partial along the edge and on the strands
};

// The same arguments always give the same picture.
Composite make(Subject subject, Backdrop backdrop, cv::Size size, unsigned seed = 1);

struct Score {
    double iou = 0;            // of alpha above one half, against the truth
    double boundaryError = 0;  // mean absolute alpha error (0..1) along the true edge
};
Score score(const cv::Mat& alpha, const cv::Mat& truth);

}  // namespace composites
