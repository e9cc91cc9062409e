// The instructions that Iop::sampleRow()'s row kernel runs on.
//
// Where the processor has AVX2 and FMA the kernel uses them; otherwise, or when the reference
// path is asked for, it keeps to SSE2, the baseline of x86-64, against which the AVX2 path is
// tested. The two differ by rounding only: a fused multiply-add rounds once where a multiply
// and an add round twice, and the AVX2 path sums a point's rows of taps before its columns.
//
// KX_SIMD=sse2 in the environment keeps a process on the reference path from its start;
// KX_SIMD=avx2, or no KX_SIMD, leaves the choice to the processor; any other value is
// reported on stderr and ignored. Every thread uses the same path, so a render is the same
// on one thread and on many; change it only while no rows are being sampled.
#pragma once

namespace Kx::Image {

// Keeps sampleRow() on the reference path (true) or lets it use AVX2 and FMA where the
// processor has them (false). Returns whether AVX2 is in use after the change.
bool sampleRowOnReferencePath(bool reference);
// Whether sampleRow() uses AVX2 and FMA now.
bool sampleRowUsesAvx2();

} // namespace Kx::Image
