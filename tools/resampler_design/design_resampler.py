#!/usr/bin/python3
"""Designs the 160-phase, 16-tap coefficient table of the 44.1 kHz to 48 kHz resampler.

Inputs: five rows of the table that are given (KNOWN_ROWS) and the figures the whole
table must meet (see README.md). Output: src/signal/resampler_coefficients.cpp.

Method. Row k of the table holds prototype samples p[160 t + (147 k mod 160)], so the five
rows fix 80 of the 2560 samples of a low-pass prototype at 160 times the input rate.
  1. Reference: a band-limited least-squares fit of 12 harmonics (period 2560) through the
     80 samples. Its passband matches the wanted response; its stop band leaks (-60 dB).
  2. Design: p = s + e, where s is a sum of 30 harmonics (the unknowns) and e is non-zero
     only at the 80 known positions, making p equal the given samples there. A linear
     programme minimises the largest real or imaginary part of the response over a dense
     grid from 25 kHz to the prototype's Nyquist frequency, keeping the passband (0 to
     24 kHz) within 0.2 % of the reference, every row sum within 31414 +- 14, the unknown
     samples near the peak below 29597, and each row's absolute sum at most 62371 (linearised with
     the signs of a first solution without that bound).
  3. The samples are rounded to integers.
Requires Debian's python3-numpy and python3-scipy (HiGHS). Deterministic; takes ~20 s.
"""
import os
import sys

import numpy as np
from scipy.optimize import linprog

KNOWN_ROWS = {
    0: [26, -261, -882, 1138, -1683, 2251, -2749, 3116, 29597, 2995, -2700, 2229, -1674, 1137, -886, -257],
    1: [-184, -950, 1081, -1465, 1743, -1704, 730, 29339, 5634, -3699, 2656, -1818, 1138, -784, -343, 34],
    2: [-119, -985, 971, -1187, 1183, -666, -1338, 28546, 8471, -4591, 2969, -1872, 1076, -649, -437, 41],
    80: [30, -831, 174, 182, -997, 2556, -5894, 20559, 20432, -5910, 2578, -1017, 197, 164, -827, 31],
    159: [34, -345, -781, 1137, -1821, 2665, -3721, 5699, 29326, 676, -1679, 1730, -1459, 1079, -952, -182],
}
PHASES, TAPS = 160, 16
LENGTH = PHASES * TAPS  # 2560
CENTRE = LENGTH // 2  # the peak, p[1280]
RATE = 44100 * PHASES  # prototype sampling rate
UNITY = PHASES * 32768  # sum of a prototype with 0 dB gain at DC
PEAK = 29597
ROW_SUM_MID, ROW_SUM_HALF_RANGE = 31414, 14
ABS_SUM_LIMIT = 62379 - 8  # margin for rounding

n = np.arange(LENGTH)


def row_positions(k):
    return [PHASES * t + (147 * k) % PHASES for t in range(TAPS)]


def harmonics(count, positions):
    cols = [np.ones(len(positions))]
    for j in range(1, count + 1):
        angle = 2 * np.pi * j * (positions - CENTRE) / LENGTH
        cols += [np.cos(angle), np.sin(angle)]
    return np.stack(cols, 1)


def response_matrix(freqs):
    return np.exp(-2j * np.pi * np.outer(freqs, n - CENTRE) / RATE)


def response_db(p, freqs):
    out = []
    for chunk in np.array_split(freqs, max(1, len(freqs) // 2000)):
        out.append(20 * np.log10(np.abs(response_matrix(chunk) @ p) / UNITY + 1e-15))
    return np.concatenate(out)


known_pos = np.array([i for k in KNOWN_ROWS for i in row_positions(k)])
known_val = np.array([v for k in KNOWN_ROWS for v in KNOWN_ROWS[k]], float)

# 1. Reference passband from a band-limited least-squares fit.
fit = harmonics(12, n) @ np.linalg.lstsq(harmonics(12, known_pos), known_val, rcond=None)[0]
fit[known_pos] = known_val

# 2. p = M a + v: a are the 61 harmonic weights; v holds the known samples.
M = harmonics(30, n)
M[known_pos, :] = 0
v = np.zeros(LENGTH)
v[known_pos] = known_val
stop = np.concatenate([np.arange(25000, 200000, 100.0), np.arange(200000, RATE / 2, 1000.0)])
passband = np.arange(0, 24001, 200.0)
Fs, Fp = response_matrix(stop), response_matrix(passband)
Gs, hs = Fs @ M, Fs @ v
Gp, hp = Fp @ M, Fp @ v - Fp @ fit


def solve(signs):
    rows, rhs = [], []

    def bound(G, h, limit):  # |h + G a| <= limit; limit None means the minimised delta
        delta = -np.ones((len(h), 1)) if limit is None else np.zeros((len(h), 1))
        b = 0 if limit is None else limit
        rows.extend([np.hstack([G, delta]), np.hstack([-G, delta])])
        rhs.extend([b - h, b + h])

    bound(Gs.real, hs.real, None)
    bound(Gs.imag, hs.imag, None)
    bound(Gp.real, hp.real, 0.002 * UNITY)
    bound(Gp.imag, hp.imag, 0.002 * UNITY)
    sums = np.array([M[row_positions(k)].sum(0) for k in range(PHASES)])
    sums_v = np.array([v[row_positions(k)].sum() for k in range(PHASES)])
    free = np.abs(sums).sum(1) > 1e-9
    bound(sums[free], sums_v[free] - ROW_SUM_MID, ROW_SUM_HALF_RANGE)
    near = np.setdiff1d(np.arange(CENTRE - 400, CENTRE + 401), known_pos)
    rows.append(np.hstack([M[near], np.zeros((len(near), 1))]))
    rhs.append(PEAK - 0.6 - v[near])  # the peak stays the one largest tap
    if signs is not None:
        for k in range(PHASES):
            pos = row_positions(k)
            g = (signs[pos][:, None] * M[pos]).sum(0)
            if np.abs(g).sum() > 1e-9:
                rows.append(np.hstack([g[None, :], np.zeros((1, 1))]))
                rhs.append(np.array([ABS_SUM_LIMIT - (signs[pos] * v[pos]).sum()]))
    cost = np.zeros(M.shape[1] + 1)
    cost[-1] = 1
    result = linprog(cost, A_ub=np.vstack(rows), b_ub=np.concatenate(rhs),
                     bounds=[(None, None)] * M.shape[1] + [(0, None)], method="highs")
    if result.status != 0:
        sys.exit("design failed: " + result.message)
    return M @ result.x[:-1] + v


p = np.round(solve(np.sign(solve(None)))).astype(int)
assert (p[known_pos] == known_val).all()

table = np.array([p[row_positions(k)] for k in range(PHASES)])
row_sums, abs_sums = table.sum(1), np.abs(table).sum(1)
print("row sums %d..%d, largest absolute sum %d, taps %d..%d, asymmetry %d"
      % (row_sums.min(), row_sums.max(), abs_sums.max(), p.min(), p.max(),
         np.abs(p[CENTRE + 1:] - p[CENTRE - 1:0:-1]).max()))
points = np.array([0, 5000, 10000, 15000, 18000, 19000, 20000, 22050, 24000.0])
print("response dB at", points.astype(int), np.round(response_db(p, points), 2))
dense = np.arange(25000, RATE / 2, 50.0)
print("stop band from 25 kHz: at most %.2f dB" % response_db(p, dense).max())

out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../src/signal/resampler_coefficients.cpp")
with open(out, "w") as f:
    f.write("// Generated by tools/resampler_design/design_resampler.py; do not edit.\n")
    f.write("// Rows are the 160 phases of one 2560-tap low-pass prototype, in Q15.\n")
    f.write('#include "signal/Resampler.h"\n\n')
    f.write("// clang-format off\n")
    f.write("const int16_t kResamplerCoefficients[kResamplerPhases][kResamplerTaps] = {\n")
    for k, row in enumerate(table):
        f.write("    {" + ", ".join(str(x) for x in row) + "},  // %d\n" % k)
    f.write("};\n// clang-format on\n")
print("wrote", os.path.normpath(out))
