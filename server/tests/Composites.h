#pragma once

// Test pictures with a known cut-out: a textured subject laid over a backdrop with a known alpha,
// or a photographed object with its alpha (the stamps of Debian's tuxpaint-stamps-default) over
// a scene. Shared by the cut-out tests and bench/cutout.

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

// Photographed objects over real scenes. A studio sweep has the object's shadow on it; a photo
// is one of Debian's opencv-doc sample photographs, sharp or blurred as by a shallow depth of
// field.
enum class Scene { Studio, Gradient, Photo, BlurredPhoto };
enum class Placement {
    Centred,
    Bottom,  // standing on the bottom edge, its foot cut by it
    Side,    // a third of it cut off by the right edge
};
constexpr Scene kScenes[] = {Scene::Studio, Scene::Gradient, Scene::Photo, Scene::BlurredPhoto};
constexpr Placement kPlacements[] = {Placement::Centred, Placement::Bottom, Placement::Side};
const char* name(Scene scene);
const char* name(Placement placement);

// Where tuxpaint-stamps-default keeps its stamps, and twenty photographic ones (animals, fruit,
// flowers, tools, vehicles, a person), paths below that folder.
extern const char* const kStampFolder;
extern const char* const kStamps[20];
// Twenty more of the same kinds, kept apart: a rule settled on the first twenty is checked here.
extern const char* const kHeldOutStamps[20];

// The stamp (a PNG with alpha) over the scene; `photo` is the scene's photograph (for Photo and
// BlurredPhoto). An empty picture when a file cannot be read.
Composite stamp(const std::string& stampPath, Scene scene, Placement placement, cv::Size size,
                const std::string& photo = {});

struct Score {
    double iou = 0;            // of alpha above one half, against the truth
    double boundaryError = 0;  // mean absolute alpha error (0..1) along the true edge
};
// The edge is `reach` pixels either side of the true outline.
Score score(const cv::Mat& alpha, const cv::Mat& truth, int reach = 2);

}  // namespace composites
