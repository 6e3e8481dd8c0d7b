#include "layout.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <numeric>

namespace gui {

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): named at every call
TRect FitInto(const TRect& wanted, const TRect& area) {
  TRect r = wanted;
  r.Width = std::min(r.Width, area.Width);
  r.Height = std::min(r.Height, area.Height);
  r.Left = std::clamp(r.Left, area.Left, area.Left + area.Width - r.Width);
  r.Top = std::clamp(r.Top, area.Top, area.Top + area.Height - r.Height);
  return r;
}

namespace {

// Shares `amount` out in proportion to `weights` (equally where all are
// zero), the shares adding up to exactly `amount`.
std::vector<int> Shares(std::int64_t amount, std::vector<std::int64_t> weights) {
  std::int64_t total = std::accumulate(weights.begin(), weights.end(), std::int64_t{0});
  if (total == 0) {
    std::fill(weights.begin(), weights.end(), 1);
    total = static_cast<std::int64_t>(weights.size());
  }
  std::vector<int> shares;
  std::int64_t before = 0, given = 0;
  for (std::int64_t w : weights) {
    before += w;
    const std::int64_t upTo = amount * before / total;
    shares.push_back(static_cast<int>(upTo - given));
    given = upTo;
  }
  return shares;
}

}  // namespace

std::vector<int> FormLayout::Solve(const std::vector<Segment>& run, int total) {
  std::vector<int> lengths;
  lengths.reserve(run.size());
  for (const Segment& s : run) lengths.push_back(s.length);
  const int sum = std::accumulate(lengths.begin(), lengths.end(), 0);
  // Which kinds give or take, in turn; giving, each down to its floor.
  auto apply = [&](Segment::Kind kind, std::int64_t amount, bool grow,
                   int Segment::*floor) -> std::int64_t {
    std::vector<std::size_t> at;
    std::vector<std::int64_t> weights;
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (run[i].kind != kind) continue;
      at.push_back(i);
      weights.push_back(grow ? run[i].length : std::max(0, lengths[i] - run[i].*floor));
    }
    if (at.empty()) return 0;
    if (!grow)
      amount = std::min(amount, std::accumulate(weights.begin(), weights.end(), std::int64_t{0}));
    const std::vector<int> shares = Shares(amount, weights);
    for (std::size_t k = 0; k < at.size(); ++k) lengths[at[k]] += grow ? shares[k] : -shares[k];
    return amount;
  };
  if (total >= sum) {
    if (apply(Segment::Box, total - sum, true, &Segment::minimum) == 0)
      apply(Segment::Gap, total - sum, true, &Segment::minimum);
    return lengths;
  }
  // The order the header gives: gaps, boxes, the other controls, boxes again.
  std::int64_t left = sum - total;
  for (auto [kind, floor] :
       {std::pair{Segment::Gap, &Segment::minimum}, std::pair{Segment::Box, &Segment::minimum},
        std::pair{Segment::Fixed, &Segment::tightest}, std::pair{Segment::Box, &Segment::tightest}})
    left -= apply(kind, left, false, floor);
  return lengths;
}

int FormLayout::Least(const std::vector<Segment>& run, int Segment::*floor) {
  int least = 0;
  for (const Segment& s : run) least += s.*floor;
  return least;
}

std::vector<std::pair<std::size_t, std::size_t>> Stacked(const std::vector<TRect>& uppers,
                                                         const std::vector<TRect>& lowers,
                                                         bool byUpper) {
  // In 64 bits: sums of a description's positions and sizes may be past an int.
  struct Candidate {
    std::int64_t gap, overlap;
    std::size_t upper, lower;
  };
  std::vector<Candidate> candidates;
  for (std::size_t u = 0; u < uppers.size(); ++u) {
    for (std::size_t l = 0; l < lowers.size(); ++l) {
      const TRect& a = uppers[u];
      const TRect& b = lowers[l];
      const std::int64_t gap = std::int64_t{b.Top} - a.Top - a.Height;
      const std::int64_t overlap =
          std::min(std::int64_t{a.Left} + a.Width, std::int64_t{b.Left} + b.Width) -
          std::max(a.Left, b.Left);
      if (gap >= 0 && gap <= (byUpper ? a.Height : b.Height) && overlap > 0)
        candidates.push_back({gap, overlap, u, l});
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const auto& x, const auto& y) {
    return x.gap != y.gap ? x.gap < y.gap : x.overlap > y.overlap;
  });
  std::vector<bool> upperTaken(uppers.size()), lowerTaken(lowers.size());
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  for (const Candidate& c : candidates) {
    if (upperTaken[c.upper] || lowerTaken[c.lower]) continue;
    upperTaken[c.upper] = lowerTaken[c.lower] = true;
    pairs.emplace_back(c.upper, c.lower);
  }
  return pairs;
}

FormLayout::FormLayout(TSize designClient, const std::vector<Design>& design)
    : design_(designClient) {
  // Each part's controls, as indices into `design`, and their bounds.
  auto part = [&](Part which) {
    std::pair<std::vector<int>, std::vector<TRect>> found;
    for (std::size_t i = 0; i < design.size(); ++i)
      if (design[i].part == which) {
        found.first.push_back(static_cast<int>(i));
        found.second.push_back(design[i].bounds);
      }
    return found;
  };
  for (const Design& d : design) controls_.push_back({d.bounds, Role::TopRow, -1, 0});
  const auto [boxes, boxBounds] = part(Part::Box);
  for (int i : boxes) {
    Control& c = controls_[static_cast<std::size_t>(i)];
    c.role = Role::Box;
    c.minimum = design[static_cast<std::size_t>(i)].least;
  }
  const auto [labels, labelBounds] = part(Part::Label);
  for (auto [label, box] : Stacked(labelBounds, boxBounds, true))
    controls_[static_cast<std::size_t>(labels[label])] = {labelBounds[label], Role::AboveBox,
                                                          boxes[box]};
  const auto [buttons, buttonBounds] = part(Part::Button);
  for (auto [box, button] : Stacked(boxBounds, buttonBounds, false))
    controls_[static_cast<std::size_t>(buttons[button])] = {buttonBounds[button], Role::BelowBox,
                                                            boxes[box]};

  for (int i = 0; i < static_cast<int>(controls_.size()); ++i) {
    const Control& c = controls_[static_cast<std::size_t>(i)];
    if (c.role == Role::Box)
      columns_.push_back({i, {i}, c.bounds.Left, c.bounds.Left + c.bounds.Width});
  }
  for (int i = 0; i < static_cast<int>(controls_.size()); ++i) {
    const Control& c = controls_[static_cast<std::size_t>(i)];
    if (c.role == Role::TopRow) {
      topRow_.push_back(i);
      continue;
    }
    if (c.role == Role::Box) continue;
    for (Column& column : columns_)
      if (column.box == c.box) {
        column.members.push_back(i);
        column.left = std::min(column.left, c.bounds.Left);
        column.right = std::max(column.right, c.bounds.Left + c.bounds.Width);
      }
  }
  auto byLeft = [this](int a, int b) {
    return controls_[static_cast<std::size_t>(a)].bounds.Left <
           controls_[static_cast<std::size_t>(b)].bounds.Left;
  };
  std::sort(topRow_.begin(), topRow_.end(), byLeft);
  std::sort(columns_.begin(), columns_.end(),
            [](const Column& a, const Column& b) { return a.left < b.left; });
  for (Column& column : columns_)
    std::sort(column.members.begin(), column.members.end(), [this](int a, int b) {
      return controls_[static_cast<std::size_t>(a)].bounds.Top <
             controls_[static_cast<std::size_t>(b)].bounds.Top;
    });
  rowTop_ = INT_MAX;
  for (int i : topRow_) {
    const TRect& r = controls_[static_cast<std::size_t>(i)].bounds;
    rowTop_ = std::min(rowTop_, r.Top);
    rowBottom_ = std::max(rowBottom_, r.Top + r.Height);
  }
  if (topRow_.empty()) rowTop_ = 0;

  // Sizes below which a control does not go, within what was designed.
  for (std::size_t i = 0; i < controls_.size(); ++i) {
    Control& c = controls_[i];
    const TSize t = design[i].tightest;
    auto within = [](int wanted, int designed) {
      return wanted > 0 ? std::min(wanted, designed) : designed;
    };
    c.tightest = {within(t.Width, c.bounds.Width), within(t.Height, c.bounds.Height)};
    if (c.role == Role::Box) c.tightest = {c.bounds.Width, within(t.Height, c.minimum)};
  }

  auto least = [this](int Segment::*floor) {
    TSize size{std::max(Least(ColumnsAcross(), floor), Least(TopRowAcross(), floor)),
               topRow_.empty() ? 0 : rowBottom_};
    for (const Column& column : columns_)
      size.Height = std::max(size.Height, Least(Down(column, true), floor));
    return size;
  };
  roomy_ = least(&Segment::minimum);
  minimum_ = least(&Segment::tightest);
  if (columns_.empty() && !topRow_.empty())
    minimum_.Height = std::min(rowBottom_, std::min(rowTop_, kMinGap) + RowTightest());
}

// The top row's least height: each control at its tightest, where it stands
// in the row.
int FormLayout::RowTightest() const {
  int least = 0;
  for (int i : topRow_) {
    const Control& c = controls_[static_cast<std::size_t>(i)];
    least = std::max(least, c.bounds.Top - rowTop_ + c.tightest.Height);
  }
  return least;
}

// Gaps and extents left to right, from the client's left edge to its right.
std::vector<FormLayout::Segment> FormLayout::ColumnsAcross() const {
  std::vector<Segment> run;
  int x = 0;
  for (const Column& column : columns_) {
    const int gap = std::max(0, column.left - x);
    run.push_back({Segment::Gap, gap, std::min(gap, kMinGap)});
    const Control& box = controls_[static_cast<std::size_t>(column.box)];
    const int width = column.right - column.left;
    // Its other members whole; the box no narrower than it must be tall.
    int least = width - box.bounds.Width + std::min(box.bounds.Width, box.minimum);
    int tightest = width - box.bounds.Width + std::min(box.bounds.Width, box.tightest.Height);
    for (int i : column.members)
      if (i != column.box) {
        const Control& c = controls_[static_cast<std::size_t>(i)];
        least = std::max(least, c.bounds.Width);
        tightest = std::max(tightest, c.tightest.Width);
      }
    least = std::min(width, least);
    run.push_back({Segment::Box, width, least, std::min(least, tightest)});
    x = std::max(x, column.right);
  }
  const int gap = std::max(0, design_.Width - x);
  run.push_back({Segment::Gap, gap, std::min(gap, kMinGap)});
  return run;
}

std::vector<FormLayout::Segment> FormLayout::TopRowAcross() const {
  std::vector<Segment> run;
  int x = 0;
  for (int i : topRow_) {
    const TRect& r = controls_[static_cast<std::size_t>(i)].bounds;
    const int gap = std::max(0, r.Left - x);
    run.push_back({Segment::Gap, gap, std::min(gap, kMinGap)});
    run.push_back(
        {Segment::Fixed, r.Width, r.Width, controls_[static_cast<std::size_t>(i)].tightest.Width});
    x = std::max(x, r.Left + r.Width);
  }
  // The row keeps its place at the left: the room right of it takes what the
  // width adds, and gives way after the gaps.
  const int gap = std::max(0, design_.Width - x);
  run.push_back({Segment::Box, gap, std::min(gap, kMinGap)});
  return run;
}

// Gaps and heights top to bottom: from the client's top edge (withTopRow)
// or from the top row's bottom, to the client's bottom edge.
std::vector<FormLayout::Segment> FormLayout::Down(const Column& column, bool withTopRow) const {
  std::vector<Segment> run;
  int y = 0;
  auto gapTo = [&](int to) {
    const int gap = std::max(0, to - y);
    run.push_back({Segment::Gap, gap, std::min(gap, kMinGap)});
  };
  if (withTopRow) {
    gapTo(rowTop_);
    run.push_back({Segment::Fixed, rowBottom_ - rowTop_, rowBottom_ - rowTop_, RowTightest()});
  }
  y = rowBottom_;
  for (int i : column.members) {
    const Control& c = controls_[static_cast<std::size_t>(i)];
    gapTo(c.bounds.Top);
    const int least = std::min(c.bounds.Height, c.minimum);
    if (c.role == Role::Box)
      run.push_back({Segment::Box, c.bounds.Height, least, std::min(least, c.tightest.Height)});
    else
      run.push_back({Segment::Fixed, c.bounds.Height, c.bounds.Height, c.tightest.Height});
    y = std::max(y, c.bounds.Top + c.bounds.Height);
  }
  gapTo(design_.Height);
  return run;
}

std::vector<TRect> FormLayout::Place(TSize client) const {
  const int width = std::max(client.Width, minimum_.Width);
  const int height = std::max(client.Height, minimum_.Height);
  std::vector<TRect> placed;
  for (const Control& c : controls_) placed.push_back(c.bounds);

  // The top row: across on its own, down as the tightest column lets it.
  const std::vector<int> across = Solve(TopRowAcross(), width);
  int x = 0;
  for (std::size_t k = 0; k < topRow_.size(); ++k) {
    x += across[2 * k];
    TRect& r = placed[static_cast<std::size_t>(topRow_[k])];
    r.Left = x;
    r.Width = across[2 * k + 1];
    x += r.Width;
  }
  const int designedRow = rowBottom_ - rowTop_;
  int top = rowTop_, row = designedRow;
  if (columns_.empty()) {
    const std::vector<int> down = Solve({{Segment::Gap, rowTop_, std::min(rowTop_, kMinGap)},
                                         {Segment::Fixed, designedRow, designedRow, RowTightest()},
                                         {Segment::Gap, design_.Height - rowBottom_, 0}},
                                        height);
    top = down[0];
    row = down[1];
  }
  for (const Column& column : columns_) {
    const std::vector<int> down = Solve(Down(column, true), height);
    top = std::min(top, down[0]);
    row = std::min(row, down[1]);
  }
  // Lower by as much as the row, down to its tightest, at its place in it.
  for (int i : topRow_) {
    const Control& c = controls_[static_cast<std::size_t>(i)];
    TRect& r = placed[static_cast<std::size_t>(i)];
    r.Top = top + (c.bounds.Top - rowTop_);
    r.Height = std::max(c.tightest.Height, c.bounds.Height - (designedRow - row));
  }

  // The columns: across together, down each on its own below the top row.
  const std::vector<int> widths = Solve(ColumnsAcross(), width);
  x = 0;
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    const Column& column = columns_[k];
    x += widths[2 * k];
    const int left = x, span = widths[2 * k + 1], designed = column.right - column.left;
    x += span;
    for (int i : column.members) {
      TRect& r = placed[static_cast<std::size_t>(i)];
      const TRect& d = controls_[static_cast<std::size_t>(i)].bounds;
      if (i == column.box) {
        r.Left = left + (d.Left - column.left);
        r.Width = span - (designed - d.Width);
      } else {
        // Its place in the column's room to spare, kept in proportion.
        r.Width = std::min(d.Width, span);
        const int slack = designed - d.Width;
        r.Left = left + (slack > 0 ? static_cast<int>(std::int64_t{d.Left - column.left} *
                                                      (span - r.Width) / slack)
                                   : 0);
      }
    }
    const int below = top + row;
    const std::vector<int> heights = Solve(Down(column, false), height - below);
    int y = below;
    for (std::size_t m = 0; m < column.members.size(); ++m) {
      y += heights[2 * m];
      TRect& r = placed[static_cast<std::size_t>(column.members[m])];
      r.Top = y;
      r.Height = heights[2 * m + 1];
      y += r.Height;
    }
  }
  return placed;
}

}  // namespace gui
