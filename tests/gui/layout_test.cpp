// The layout rule over the window's own form description, at client sizes
// from its least to a 4K screen's: every control whole, inside and apart
// from the others, in its place relative to its box, the boxes taking the
// space.
#include "layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "form_description.h"

namespace gui {
void PrintTo(const TSize& s, std::ostream* out) { *out << s.Width << "x" << s.Height; }
}  // namespace gui

namespace {

using gui::FormLayout;
using gui::TSize;
using Part = FormLayout::Part;

// Three lines of a memo in the Qt backend's font at 96 PPI take 58 pixels.
constexpr int kLeastBox = 60;
const TSize kDesign{680, 441};
// What the captions, the items and two lines need in that font, as the Qt
// backend measures them.
const std::map<std::string, TSize> kTightest = {
    {"Button1", {63, 26}}, {"Button2", {52, 26}}, {"Button3", {52, 26}}, {"Button4", {52, 26}},
    {"rdCOM", {71, 66}},   {"mSend", {0, 44}},    {"mReceive", {0, 44}}};

struct Form {
  std::vector<std::string> names;
  std::vector<FormLayout::Design> design;
  std::size_t operator[](const std::string& name) const {
    return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
  }
};

// ui/Unit1.form's controls, as the loader hands them to the layout.
const Form& TheForm() {
  static const Form form = [] {
    std::ifstream in(FORM_FILE);
    std::stringstream text;
    text << in.rdbuf();
    Form f;
    const std::map<std::string, Part> parts = {
        {"TMemo", Part::Box}, {"TLabel", Part::Label}, {"TButton", Part::Button}};
    for (const gui::ObjectDescription& object : gui::ParseFormDescription(text.str()).controls) {
      std::map<std::string, int> v;
      for (const gui::Property& p : object.properties)
        v[p.name] = static_cast<int>(p.value.integer);
      const auto part = parts.find(object.className);
      FormLayout::Design d{{v["Left"], v["Top"], v["Width"], v["Height"]},
                           part == parts.end() ? Part::Other : part->second};
      d.least = d.part == Part::Box ? kLeastBox : 0;
      if (const auto t = kTightest.find(object.name); t != kTightest.end()) d.tightest = t->second;
      f.names.push_back(object.name);
      f.design.push_back(d);
    }
    return f;
  }();
  return form;
}

int Right(const TRect& r) { return r.Left + r.Width; }
int Bottom(const TRect& r) { return r.Top + r.Height; }
bool Overlap(const TRect& a, const TRect& b) {
  return a.Left < Right(b) && b.Left < Right(a) && a.Top < Bottom(b) && b.Top < Bottom(a);
}

TEST(Layout, PutsEveryControlAsDescribedAtTheDesignedSize) {
  const Form& form = TheForm();
  ASSERT_EQ(form.names.size(), 9u);
  const std::vector<TRect> placed = FormLayout(kDesign, form.design).Place(kDesign);
  for (std::size_t i = 0; i < placed.size(); ++i)
    EXPECT_EQ(placed[i], form.design[i].bounds) << form.names[i];
}

TEST(Layout, LeastSizeFitsTheSmallestScreens) {
  const FormLayout layout(kDesign, TheForm().design);
  // 1280 x 800 at scale 2, less a frame as large as the design's: every
  // control but the boxes as designed.
  EXPECT_LE(layout.Roomy().Width, 640 - 16);
  EXPECT_LE(layout.Roomy().Height, 400 - 39);
  // 480 x 320 less a 36-pixel panel, a title bar and a frame.
  EXPECT_LE(layout.Minimum().Width, 460);
  EXPECT_LE(layout.Minimum().Height, 230);
  // Smaller still: laid out at the least, what does not fit cut at the right
  // and bottom.
  EXPECT_EQ(layout.Place({200, 120}), layout.Place(layout.Minimum()));
}

TEST(Layout, FitsAWindowIntoTheScreen) {
  const TRect screen{0, 0, 1024, 600};
  EXPECT_EQ(gui::FitInto({233, 209, 696, 380}, screen), (TRect{233, 209, 696, 380}));
  EXPECT_EQ(gui::FitInto({349, 313, 696, 480}, screen), (TRect{328, 120, 696, 480}));
  EXPECT_EQ(gui::FitInto({466, 418, 1392, 960}, screen), (TRect{0, 0, 1024, 600}));
  EXPECT_EQ(gui::FitInto({-50, 10, 696, 480}, {0, 30, 800, 450}), (TRect{0, 30, 696, 450}));
}

// A client size; {0, 0} stands for the layout's least.
class LayoutAt : public ::testing::TestWithParam<TSize> {};

TEST_P(LayoutAt, KeepsEveryControlWholeApartAndInItsPlace) {
  const Form& form = TheForm();
  const FormLayout layout(kDesign, form.design);
  const TSize client = GetParam() == TSize{} ? layout.Minimum() : GetParam();
  ASSERT_GE(client.Width, layout.Minimum().Width);
  ASSERT_GE(client.Height, layout.Minimum().Height);
  const std::vector<TRect> placed = layout.Place(client);
  auto at = [&](const char* name) { return placed[form[name]]; };
  const bool roomy = client.Width >= layout.Roomy().Width && client.Height >= layout.Roomy().Height;

  for (std::size_t i = 0; i < placed.size(); ++i) {
    const TRect& r = placed[i];
    const TRect& d = form.design[i].bounds;
    EXPECT_TRUE(r.Left >= 0 && r.Top >= 0 && Right(r) <= client.Width && Bottom(r) <= client.Height)
        << form.names[i] << " outside the client area";
    for (std::size_t j = i + 1; j < placed.size(); ++j)
      EXPECT_FALSE(Overlap(r, placed[j])) << form.names[i] << " on " << form.names[j];
    const TSize tightest = form.design[i].tightest;
    if (form.design[i].part == Part::Box)
      EXPECT_GE(r.Height, roomy ? kLeastBox : tightest.Height) << form.names[i];
    else if (roomy)
      EXPECT_TRUE(r.Width == d.Width && r.Height == d.Height) << form.names[i] << " cut";
    else
      EXPECT_TRUE(r.Width >= tightest.Width && r.Height >= tightest.Height && r.Width <= d.Width &&
                  r.Height <= d.Height)
          << form.names[i] << " is " << r.Width << "x" << r.Height;
  }
  // Labels just above their boxes, buttons just below, the top row level.
  for (auto [upper, box, lower] :
       {std::tuple{"Label1", "mSend", "Button3"}, std::tuple{"Label2", "mReceive", "Button4"}}) {
    EXPECT_GE(at(box).Top - Bottom(at(upper)), 0) << upper;
    EXPECT_LE(at(box).Top - Bottom(at(upper)), at(upper).Height) << upper;
    EXPECT_TRUE(at(upper).Left >= at(box).Left && Right(at(upper)) <= Right(at(box))) << upper;
    EXPECT_GE(at(lower).Top - Bottom(at(box)), 0) << lower;
    EXPECT_LE(at(lower).Top - Bottom(at(box)), at(lower).Height) << lower;
    EXPECT_TRUE(at(lower).Left >= at(box).Left && Right(at(lower)) <= Right(at(box))) << lower;
  }
  EXPECT_EQ(at("Button1").Top - at("rdCOM").Top, 24);
  EXPECT_EQ(at("Button2").Top, at("Button1").Top);
  EXPECT_LT(Bottom(at("rdCOM")), at("Label2").Top);

  // Smaller: the gaps give way first, down to 4 pixels each; the boxes keep
  // their size while the gaps have room (across the columns 40 + 127 + 95,
  // down each 65, five gaps to a column).
  if (client.Width >= kDesign.Width - (262 - 3 * 4) &&
      client.Height >= kDesign.Height - (65 - 5 * 4)) {
    EXPECT_TRUE(at("mSend").Width >= 201 && at("mSend").Height >= 185);
    EXPECT_TRUE(at("mReceive").Width >= 217 && at("mReceive").Height >= 185);
  }
  // Larger: the boxes take all the extra room, each column its share.
  if (client.Width >= kDesign.Width) {
    const int send = at("mSend").Width - 201, receive = at("mReceive").Width - 217;
    EXPECT_EQ(send + receive, client.Width - kDesign.Width);
    EXPECT_NEAR(send * 217.0, receive * 201.0, 418.0);
    EXPECT_EQ(at("Button2").Left, 488) << "the top row keeps its place";
  }
  if (client.Height >= kDesign.Height) {
    EXPECT_EQ(at("mSend").Height - 185, client.Height - kDesign.Height);
    EXPECT_EQ(at("mReceive").Height - 185, client.Height - kDesign.Height);
    EXPECT_EQ(at("rdCOM").Top, 16);
  }
}

// From the least, through the small screens' client areas (480 x 320 under
// a panel, 1280 x 800 at scale 2 and tiled on it, 800 x 480, 1024 x 600 at
// 1.25), a little below the designed size, the designed size, a tile of
// 1280 x 800, to 4K and lopsided windows.
INSTANTIATE_TEST_SUITE_P(
    ClientSizes, LayoutAt,
    ::testing::Values(TSize{}, TSize{460, 230}, TSize{491, 271}, TSize{560, 300}, TSize{624, 361},
                      TSize{636, 373}, TSize{660, 420}, TSize{680, 441}, TSize{796, 458},
                      TSize{815, 456}, TSize{1276, 773}, TSize{1366, 741}, TSize{1920, 1080},
                      TSize{3840, 2160}, TSize{624, 2160}, TSize{3840, 361}),
    [](const auto& info) {
      return std::to_string(info.param.Width) + "x" + std::to_string(info.param.Height);
    });

}  // namespace
