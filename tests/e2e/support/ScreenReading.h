#pragma once
// Reading the program's window from screenshots: where its video views are,
// and how many items an open menu shows.
#include <QImage>
#include <QRect>
#include <vector>

namespace cliploop::e2e {

// Black rectangles at least `minimum` pixels wide and half as high inside
// `area`, left to right then top to bottom: the video views before anything
// plays (the rest of the window is light, and text has no long black runs).
std::vector<QRect> blackPanels(const QImage& image, const QRect& area, int minimum);

// The number of items an open menu shows, from a shot of its popup: each item
// is a band of rows that differ from the menu's background (its text, or the
// highlight of the current item), separated by background rows.
int menuItemCount(const QImage& popup);

// How many pixels differ (by more than `tolerance` in a channel) between the
// same area of two shots.
int differingPixels(const QImage& a, const QImage& b, const QRect& area, int tolerance = 24);

}  // namespace cliploop::e2e
