// How a form's controls follow the size of its client area, worked out from
// where its description puts them at the designed size. All sizes are
// pixels at 96 PPI. Pure: the form loader builds one, each backend calls
// Place with the client area it has and puts the controls where it says.
//
// Each memo is a box. The label just above a box and the button just below
// it stand in its column; every other control stands in the top row.
//  - At the designed client size every control is where the description
//    puts it.
//  - Larger: the boxes take all the extra width, each column its share in
//    proportion to its designed width, and all the extra height; a label
//    stays just above its box, a button just below, the top row where it
//    is, at the top left.
//  - Smaller: the gaps shrink first, down to kMinGap, then the boxes, down
//    to the least they are given; then the other controls, down to the
//    tightest they are given (what their captions and items need), and
//    last the boxes down to their tightest. The top row's controls keep
//    their places in it as it gets lower.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "gui.h"

namespace gui {

struct TSize {
  int Width = 0, Height = 0;
  friend bool operator==(const TSize&, const TSize&) = default;
};

// Where a window of `wanted` bounds, frame included, goes in `area` (the
// screen less its panels): where it is wanted if it fits, else moved into
// the area, and made no larger than the area where even that cannot fit.
TRect FitInto(const TRect& wanted, const TRect& area);

// Pairs (upper, lower) of indices of controls that stand one just above the
// other: overlapping horizontally, `lower` starting below `upper`'s bottom
// edge by no more than the height of `upper` (byUpper) or of `lower`. The
// closest pairs are taken first (the wider overlap, then the earlier given,
// on a tie); each control pairs with one other at most.
std::vector<std::pair<std::size_t, std::size_t>> Stacked(const std::vector<TRect>& uppers,
                                                         const std::vector<TRect>& lowers,
                                                         bool byUpper);

class FormLayout {
 public:
  static constexpr int kMinGap = 4;  // between controls, and to the edges

  enum class Part { Box, Label, Button, Other };
  struct Design {
    TRect bounds;  // at the designed size
    Part part = Part::Other;
    int least = 0;  // a box's least height, at which it is of use
    // Below every least size: a box's height (Width unused), or the size
    // another control needs to show its caption whole. Zero: as designed.
    TSize tightest = {};
  };

  // A label stands in a box's column when it stands just above it (by its
  // own height at most), a button when just below it (by its own height).
  // Every position and size within kLargest.
  FormLayout(TSize designClient, const std::vector<Design>& controls);
  // Larger than any screen: a form that reaches further is not laid out.
  static constexpr int kLargest = 32767;

  // The least client area at which every control is whole and none overlaps.
  TSize Minimum() const { return minimum_; }
  // The least at which every control but the boxes keeps its designed size.
  TSize Roomy() const { return roomy_; }
  TSize Designed() const { return design_; }
  // The controls' bounds, in the order given, for that client area; one
  // smaller than Minimum is laid out at Minimum.
  std::vector<TRect> Place(TSize client) const;

 private:
  // A run of lengths along one axis: gaps, controls that keep their size,
  // and boxes.
  struct Segment {
    enum Kind { Gap, Fixed, Box } kind;
    int length, minimum;
    int tightest = minimum;  // what it gives way to after every minimum
  };
  enum class Role { Box, AboveBox, BelowBox, TopRow };
  struct Control {
    TRect bounds;
    Role role = Role::TopRow;
    int box = -1;         // for AboveBox and BelowBox: the index of its box
    int minimum = 0;      // for a Box: its least height
    TSize tightest = {};  // as Design's, filled in with the designed size
  };
  static std::vector<int> Solve(const std::vector<Segment>& run, int total);
  static int Least(const std::vector<Segment>& run, int Segment::*floor);

  struct Column {
    int box;                   // index into controls_
    std::vector<int> members;  // the box, the label above, the button below
    int left, right;           // designed extent of its members
  };
  std::vector<Segment> ColumnsAcross() const;
  std::vector<Segment> TopRowAcross() const;
  std::vector<Segment> Down(const Column& column, bool withTopRow) const;
  int RowTightest() const;

  TSize design_, minimum_, roomy_;
  std::vector<Control> controls_;
  std::vector<Column> columns_;  // left to right
  std::vector<int> topRow_;      // left to right
  int rowTop_ = 0, rowBottom_ = 0;
};

}  // namespace gui
