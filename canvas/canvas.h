// The square grey canvas: turning the picture upright, sizing the canvas from
// the picture's diagonal and centring the picture on it.
#pragma once

#include <cstdint>

#include "image/planar_image.h"

constexpr uint8_t GREY_LEVEL = 128;   // every border sample, in all three channels
constexpr int64_t CANVAS_MARGIN = 6;  // added to the rounded diagonal

// The picture with the row order reversed in every plane, in place: its
// planes are handed on, not copied.
planar_image flip_rows(planar_image picture);

// The canvas side for a width x height picture (both >= 0): the distance
// between the centres of opposite corner pixels, rounded half up, plus
// CANVAS_MARGIN, raised to the next even number. Computed in double precision
// and 64-bit integers, so it never overflows for any 32-bit size.
int64_t canvas_side(int64_t width, int64_t height);

// An S x S canvas (row 0 at the top) filled with GREY_LEVEL, with `upright`
// (row 0 at the top) copied unchanged to columns dx.. and rows dy.., where
// dx = (S - width) / 2 and dy = (S - height) / 2. Needs S >= width, height.
// Where the picture's planes have room for the canvas, it is composed in
// them, in place; otherwise in new planes.
planar_image compose_on_grey(planar_image upright, int32_t side);
