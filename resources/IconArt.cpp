// Draws the launcher's icon, an open carton with an arrow dropping into it, at
// the six sizes of the icon group and writes them as one .ico file. Each image
// is an uncompressed 32-bit DIB (straight BGRA, bottom-up) followed by its
// 1-bit AND mask, so every size, 256 included, is a plain bitmap.
//
// Built and run on the build machine. The output depends only on this file:
// no clock, no randomness, and the geometry is sampled at fixed points.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <utility>
#include <vector>

namespace {

struct Point {
    double x, y;
};

// A straight (not premultiplied) colour, each channel 0..1.
struct Colour {
    double r, g, b, a;
};

// A premultiplied colour, the form in which samples are composited.
struct Premultiplied {
    double r = 0, g = 0, b = 0, a = 0;
};

// An opaque-by-default colour from 0xRRGGBB.
constexpr Colour Hex(std::uint32_t rgb, double alpha = 1.0) {
    return {((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0, alpha};
}

// The colour a fraction t of the way from top to bottom.
Colour Mix(const Colour& top, const Colour& bottom, double t) {
    return {top.r + (bottom.r - top.r) * t, top.g + (bottom.g - top.g) * t, top.b + (bottom.b - top.b) * t,
            top.a + (bottom.a - top.a) * t};
}

// Paints colour over dst (Porter-Duff "over").
void Over(Premultiplied& dst, const Colour& colour) {
    const double keep = 1.0 - colour.a;
    dst.r = colour.r * colour.a + dst.r * keep;
    dst.g = colour.g * colour.a + dst.g * keep;
    dst.b = colour.b * colour.a + dst.b * keep;
    dst.a = colour.a + dst.a * keep;
}

// A convex polygon. Distance() is positive inside: the distance to the nearest
// edge line, which for a convex shape is the distance to its outline.
class Convex {
public:
    explicit Convex(std::vector<Point> corners) : corners_(std::move(corners)) {
        double area = 0;
        for (std::size_t i = 0; i < corners_.size(); ++i) {
            const Point& p = corners_[i];
            const Point& q = corners_[(i + 1) % corners_.size()];
            area += p.x * q.y - q.x * p.y;
        }
        if (area < 0) std::reverse(corners_.begin(), corners_.end());
        for (std::size_t i = 0; i < corners_.size(); ++i) {
            const Point& a = corners_[i];
            const Point& b = corners_[(i + 1) % corners_.size()];
            const Point& c = corners_[(i + 2) % corners_.size()];
            if ((b.x - a.x) * (c.y - b.y) - (b.y - a.y) * (c.x - b.x) <= 0) {
                std::cerr << "IconArt: polygon is not convex\n";
                std::exit(1);
            }
        }
    }

    double Distance(const Point& s) const {
        double nearest = INFINITY;
        for (std::size_t i = 0; i < corners_.size(); ++i) {
            const Point& p = corners_[i];
            const Point& q = corners_[(i + 1) % corners_.size()];
            const double dx = q.x - p.x, dy = q.y - p.y;
            // Counter-clockwise in y-up terms, so the inside is to the left.
            const double d = ((s.x - p.x) * dy - (s.y - p.y) * dx) / std::sqrt(dx * dx + dy * dy);
            nearest = std::min(nearest, -d);
        }
        return nearest;
    }

    // The highest and lowest corner, for gradients.
    double Top() const { return Extreme([](double a, double b) { return a < b; }); }
    double Bottom() const { return Extreme([](double a, double b) { return a > b; }); }

private:
    template <typename Better>
    double Extreme(Better better) const {
        double y = corners_.front().y;
        for (const Point& p : corners_) {
            if (better(p.y, y)) y = p.y;
        }
        return y;
    }

    std::vector<Point> corners_;
};

// An axis-aligned rectangle as a convex polygon.
Convex Rect(double left, double top, double right, double bottom) {
    return Convex({{left, top}, {right, top}, {right, bottom}, {left, bottom}});
}

// One drawing step: the union of some convex parts, outlined in one colour and
// filled with a vertical gradient. A part's outline lies inside its edge.
struct Layer {
    std::vector<Convex> parts;
    Colour fillTop, fillBottom;
    Colour outline;
    bool outlined;

    void Paint(Premultiplied& dst, const Point& s, double stroke) const {
        double distance = -INFINITY;
        double top = INFINITY, bottom = -INFINITY;
        for (const Convex& part : parts) {
            distance = std::max(distance, part.Distance(s));
            top = std::min(top, part.Top());
            bottom = std::max(bottom, part.Bottom());
        }
        if (distance < 0) return;
        if (outlined && distance < stroke) {
            Over(dst, outline);
        } else {
            Over(dst, Mix(fillTop, fillBottom, std::clamp((s.y - top) / (bottom - top), 0.0, 1.0)));
        }
    }
};

// The soft shadow under the carton: an ellipse that fades to its rim.
void PaintShadow(Premultiplied& dst, const Point& s) {
    const double dx = (s.x - 0.5) / 0.44, dy = (s.y - 0.935) / 0.055;
    const double falloff = 1.0 - (dx * dx + dy * dy);
    if (falloff > 0) Over(dst, Hex(0x000000, 0.35 * falloff));
}

// The picture in a unit square, y down. stroke is the outline width in the same
// units, so that small sizes keep a one-pixel outline.
std::vector<Layer> Picture(double stroke) {
    const Colour cardDark = Hex(0x6B4418);
    std::vector<Layer> layers;
    // Inside of the open carton, seen over the front edge.
    layers.push_back({{Convex({{0.12, 0.50}, {0.22, 0.36}, {0.78, 0.36}, {0.88, 0.50}})},
                      Hex(0x5C3B16), Hex(0x7D5426), cardDark, true});
    // The two open flaps.
    layers.push_back({{Convex({{0.12, 0.50}, {0.22, 0.36}, {0.10, 0.24}, {0.02, 0.40}}),
                       Convex({{0.88, 0.50}, {0.78, 0.36}, {0.90, 0.24}, {0.98, 0.40}})},
                      Hex(0xE8BC74), Hex(0xC98E42), cardDark, true});
    // The arrow, its tip already inside the carton.
    layers.push_back({{Rect(0.40, 0.04, 0.60, 0.34), Convex({{0.24, 0.30}, {0.76, 0.30}, {0.50, 0.60}})},
                      Hex(0x45C262), Hex(0x23873A), Hex(0x145224), true});
    // The front of the carton and its tape.
    layers.push_back({{Rect(0.12, 0.50, 0.88, 0.93)}, Hex(0xDDA95F), Hex(0xB3782F), cardDark, true});
    layers.push_back({{Rect(0.43, 0.50 + stroke, 0.57, 0.93 - stroke)}, Hex(0xF0D39C), Hex(0xD9B775),
                      Colour{}, false});
    return layers;
}

// One square image as straight BGRA rows, top row first.
std::vector<std::uint8_t> Render(int size) {
    constexpr int kSamples = 8;  // per pixel and axis
    const double stroke = std::max(1.0 / size, 0.03);
    const std::vector<Layer> layers = Picture(stroke);
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(size) * size * 4);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            Premultiplied sum;
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    const Point s{(x + (sx + 0.5) / kSamples) / size, (y + (sy + 0.5) / kSamples) / size};
                    Premultiplied sample;
                    PaintShadow(sample, s);
                    for (const Layer& layer : layers) layer.Paint(sample, s, stroke);
                    sum.r += sample.r;
                    sum.g += sample.g;
                    sum.b += sample.b;
                    sum.a += sample.a;
                }
            }
            const double n = kSamples * kSamples;
            const long alpha = std::lround(sum.a / n * 255.0);
            std::uint8_t* pixel = &bgra[(static_cast<std::size_t>(y) * size + x) * 4];
            if (alpha == 0) continue;  // fully transparent: all channels stay 0
            auto channel = [&](double premultiplied) {
                return static_cast<std::uint8_t>(std::clamp(std::lround(premultiplied / sum.a * 255.0), 0L, 255L));
            };
            pixel[0] = channel(sum.b);
            pixel[1] = channel(sum.g);
            pixel[2] = channel(sum.r);
            pixel[3] = static_cast<std::uint8_t>(alpha);
        }
    }
    return bgra;
}

// Little-endian output.
void Put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

// The icon image: BITMAPINFOHEADER (height doubled for the mask), the colour
// rows bottom-up, then the AND mask, a set bit wherever the pixel is fully
// transparent, each row padded to 32 bits.
std::vector<std::uint8_t> Dib(int size, const std::vector<std::uint8_t>& bgra) {
    const std::uint32_t maskStride = (static_cast<std::uint32_t>(size) + 31) / 32 * 4;
    const std::uint32_t bits = static_cast<std::uint32_t>(size) * size * 4 + maskStride * size;
    std::vector<std::uint8_t> dib;
    Put32(dib, 40);                                    // biSize
    Put32(dib, static_cast<std::uint32_t>(size));      // biWidth
    Put32(dib, static_cast<std::uint32_t>(2 * size));  // biHeight: colour and mask
    Put16(dib, 1);                                     // biPlanes
    Put16(dib, 32);                                    // biBitCount
    Put32(dib, 0);                                     // biCompression: BI_RGB
    Put32(dib, bits);                                  // biSizeImage
    Put32(dib, 0);                                     // biXPelsPerMeter
    Put32(dib, 0);                                     // biYPelsPerMeter
    Put32(dib, 0);                                     // biClrUsed
    Put32(dib, 0);                                     // biClrImportant
    for (int y = size - 1; y >= 0; --y) {
        const auto row = bgra.begin() + static_cast<std::ptrdiff_t>(y) * size * 4;
        dib.insert(dib.end(), row, row + size * 4);
    }
    for (int y = size - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(maskStride);
        for (int x = 0; x < size; ++x) {
            if (bgra[(static_cast<std::size_t>(y) * size + x) * 4 + 3] == 0) row[x / 8] |= 0x80 >> (x % 8);
        }
        dib.insert(dib.end(), row.begin(), row.end());
    }
    return dib;
}

}  // namespace

// Writes the .ico named by the only argument.
int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: IconArt output.ico\n";
        return 2;
    }
    const int sizes[] = {16, 32, 48, 64, 128, 256};
    constexpr std::uint32_t kCount = sizeof sizes / sizeof sizes[0];
    std::vector<std::vector<std::uint8_t>> images;
    for (int size : sizes) images.push_back(Dib(size, Render(size)));

    std::vector<std::uint8_t> file;
    Put16(file, 0);       // idReserved
    Put16(file, 1);       // idType: icon
    Put16(file, kCount);  // idCount
    std::uint32_t offset = 6 + 16 * kCount;
    for (std::uint32_t i = 0; i < kCount; ++i) {
        const auto dimension = static_cast<std::uint8_t>(sizes[i] == 256 ? 0 : sizes[i]);
        file.push_back(dimension);  // bWidth
        file.push_back(dimension);  // bHeight
        file.push_back(0);          // bColorCount
        file.push_back(0);          // bReserved
        Put16(file, 1);             // wPlanes
        Put16(file, 32);            // wBitCount
        Put32(file, static_cast<std::uint32_t>(images[i].size()));
        Put32(file, offset);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());

    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    out.close();
    if (!out) {
        std::cerr << "IconArt: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
