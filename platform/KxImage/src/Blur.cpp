// Blur: a separable Gaussian, run as a vertical pass over the input rows a row needs and
// then a horizontal pass along the accumulated row.
#include "Kx/Image/Blur.h"

#include <cmath>

namespace Kx::Image {

namespace {

int halfWidth(const std::vector<float>& k) {
    return int(k.size() / 2);
}

} // namespace

Blur::Blur(Node* node) : Iop(node), _kx{1.0f}, _ky{1.0f} {}

std::vector<float> Blur::kernel(float size) {
    if (!(size > 0)) return {1.0f};
    // The kernel spans the size, about plus and minus three sigmas.
    const int r = int(std::ceil(size / 2.0));
    const double sigma = size / 6.0;
    std::vector<double> g(size_t(2 * r + 1));
    double sum = 0;
    for (int i = -r; i <= r; ++i)
        sum += g[size_t(i + r)] = std::exp(-0.5 * (i / sigma) * (i / sigma));
    std::vector<float> k(g.size());
    for (size_t i = 0; i < g.size(); ++i) k[i] = float(g[i] / sum);
    return k;
}

void Blur::append(Hash& h) {
    h.append(_sizeW);
    h.append(_sizeH);
    h.append(&_blurChannels, sizeof _blurChannels);
}

void Blur::_validate(bool for_real) {
    Iop::_validate(for_real);
    // Sizes are given in full-size pixels; a proxy render blurs by as many proxy pixels.
    const bool blurs = channels().intersects(_blurChannels);
    _kx = kernel(blurs ? float(_sizeW * outputContext().scale_x()) : 0.0f);
    _ky = kernel(blurs ? float(_sizeH * outputContext().scale_y()) : 0.0f);
    if (!info().box.empty()) {
        const int rx = halfWidth(_kx), ry = halfWidth(_ky);
        Box& b = info().box;
        b.set(b.x() - rx, b.y() - ry, b.r() + rx, b.t() + ry);
    }
}

void Blur::_request(int x, int y, int r, int t, ChannelSet channels, int count) {
    Iop* in = input_iop(0);
    if (!in) return;
    const int rx = halfWidth(_kx), ry = halfWidth(_ky);
    in->request(x - rx, y - ry, r + rx, t + ry, channels, count);
}

void Blur::engine(int y, int x, int r, ChannelSet channels, Row& row) {
    Iop* in = input_iop(0);
    if (!in || aborted()) {
        row.erase(channels);
        return;
    }
    const ChannelSet blurred = channels & _blurChannels & in->channels();
    const ChannelSet passed = channels - blurred;
    if (!passed.empty()) in->get(y, x, r, passed, row);
    if (blurred.empty()) return;

    const int rx = halfWidth(_kx), ry = halfWidth(_ky);
    const int x0 = x - rx, r0 = r + rx;
    // Vertical pass: the weighted sum of the 2·ry + 1 input rows around y, over the
    // columns the horizontal pass reads. Without a vertical blur the input row is used
    // as it is.
    Row acc(x0, r0);
    if (ry == 0) {
        in->get(y, x0, r0, blurred, acc);
    } else {
        Row line(x0, r0);
        for (int k = 0; k <= 2 * ry; ++k) {
            in->get(y + k - ry, x0, r0, blurred, line);
            const float w = _ky[size_t(k)];
            for (Channel z : blurred) {
                float* a = acc.writable(z);
                const float* s = line[z];
                for (int i = x0; i < r0; ++i) a[i] += w * s[i];
            }
        }
    }
    // Horizontal pass into the output row.
    for (Channel z : blurred) {
        float* out = row.writable(z);
        const float* a = acc[z];
        if (rx == 0) {
            for (int i = x; i < r; ++i) out[i] = a[i];
            continue;
        }
        const float* k = _kx.data();
        for (int i = x; i < r; ++i) {
            float v = 0;
            for (int j = 0; j <= 2 * rx; ++j) v += k[j] * a[i - rx + j];
            out[i] = v;
        }
    }
}

} // namespace Kx::Image
