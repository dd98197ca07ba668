// GPS and Glonass satellite clock and orbit from broadcast ephemerides.
#include "navigation/orbit.h"

#include <cmath>

#include "common/error_text.h"
#include "common/gnss_time.h"

namespace {

// GPS (IS-GPS-200 values).
constexpr double kGpsMu = 3.986005e14;         // m^3/s^2
constexpr double kGpsOmegaE = 7.2921151467e-5; // rad/s
constexpr double kRelativisticF = -4.442809305e-10;
constexpr int kKeplerIterations = 5;
constexpr double kGpsTransitTolerance = 1e-10;

// Glonass (values of the Glonass interface control document).
constexpr double kGlonassTransitTolerance = 1e-9;
constexpr double kGlonassStep = 120.0;
constexpr double kGlonassMaxSpan = 3600.0;
constexpr double kGlonassEndTolerance = 1e-6;
constexpr double kGlonassMu = 398600.44;             // km^3/s^2
constexpr double kGlonassJ2Term = 26332775766.45831; // (3/2) J2 mu ae^2, km^5/s^2
constexpr double kGlonassOmegaE2 = 5.3174941173225e-9;
constexpr double kGlonassTwoOmegaE = 0.0001458423;
constexpr double kGlonassRotationPerMetre = 2.432387790989726e-13;
constexpr double kGlonassNominalRange = 25000000.0;

// A transit time converges in two or three passes for any real orbit (the
// satellite moves ~1e-5 of the light distance per unit time); a corrupt
// ephemeris or a NaN range would otherwise loop for ever, since a NaN never
// passes the tolerance test.
constexpr int kMaxTransitPasses = 30;
// More steps than a 3600 s span needs at any sensible step length; guards
// against a step so small that the integration would never end.
constexpr double kMaxGlonassSteps = 3600.0;

struct Kepler {
    double a; // semi-major axis
    double n; // corrected mean motion
    double e; // eccentric anomaly
};

// Mean motion and eccentric anomaly at tk: a fixed number of fixed-point
// iterations, as the broadcast model is used throughout this library.
Kepler SolveKepler(const GpsEphRecord &eph, double tk) {
    Kepler k;
    k.a = eph.sqrtA * eph.sqrtA;
    k.n = std::sqrt(kGpsMu / (k.a * k.a * k.a)) + eph.deltaN;
    const double m = eph.m0 + k.n * tk;
    k.e = m;
    for (int i = 0; i < kKeplerIterations; ++i) {
        k.e = m + eph.e * std::sin(k.e);
    }
    return k;
}

bool Finite3(double x, double y, double z) { return std::isfinite(x) && std::isfinite(y) && std::isfinite(z); }

double Distance(double x, double y, double z, const SatState *to) {
    const double dx = x - to->x, dy = y - to->y, dz = z - to->z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

} // namespace

double WeekCrossover(double d) {
    if (d > kSecondsPerHalfWeek) {
        d -= kSecondsPerWeek;
    }
    if (d < -kSecondsPerHalfWeek) {
        d += kSecondsPerWeek;
    }
    return d;
}

double CorrectSatelliteClock(const GpsEphRecord *ephemeris, double t, MeasRecord *meas) {
    if (ephemeris == nullptr) {
        return t;
    }
    const GpsEphRecord &eph = *ephemeris;
    const double tk = WeekCrossover(t - eph.toe);
    const double tc = WeekCrossover(t - eph.toc);
    const Kepler k = SolveKepler(eph, tk);
    const double relativistic = kRelativisticF * eph.e * eph.sqrtA * std::sin(k.e);
    // The group delay is left to the host: the observation file carries
    // both frequencies.
    const double dt = eph.af0 + eph.af1 * tc + eph.af2 * tc * tc + relativistic;
    if (meas != nullptr) {
        meas->l1Pseudorange = meas->l1Pseudorange + dt * kSpeedOfLight;
    }
    return t - dt;
}

namespace {

// GpsSatellitePosition, with the velocity only when asked for: it takes no
// part in the passes, and the point position has no use for it.
// Over 60 lines: one pass of the broadcast orbit model is a single chain of
// terms, and the velocity reuses every one of them.
int32_t GpsOrbit(const GpsEphRecord *ephemeris, double t, double range, const SatState *receiver, SatState *out,
                 bool withVelocity) {
    if (ephemeris == nullptr) {
        return 1;
    }
    const GpsEphRecord &eph = *ephemeris;
    const double toe = eph.toe;
    out->toe = toe;
    // No a-priori receiver position: the given range is the best guess there
    // is, and one pass settles the transit time.
    const bool keepRange = receiver->y == 0.0 && receiver->z == 0.0;
    double tau = range / kSpeedOfLight;

    for (int pass = 0; pass < kMaxTransitPasses; ++pass) {
        const double tk = WeekCrossover((t - tau) - toe);
        const Kepler k = SolveKepler(eph, tk);
        const double e = eph.e;
        const double root = std::sqrt(1.0 - e * e);
        const double v = std::atan2(root * std::sin(k.e), std::cos(k.e) - e);
        const double phi = v + eph.omega;
        const double cos2 = std::cos(2.0 * phi), sin2 = std::sin(2.0 * phi);

        const double du = eph.cuc * cos2 + eph.cus * sin2;
        const double dr = eph.crc * cos2 + eph.crs * sin2;
        const double di = eph.cic * cos2 + eph.cis * sin2;
        const double u = phi + du;
        const double r = k.a * (1.0 - e * std::cos(k.e)) + dr;
        const double inc = eph.i0 + eph.idot * tk + di;
        // Turning the node back by the travel time expresses the position in
        // the Earth-fixed frame of the reception time: no separate Earth
        // rotation step is needed.
        const double node = eph.omega0 + (eph.omegaDot - kGpsOmegaE) * tk - kGpsOmegaE * (toe + tau);

        const double cu = std::cos(u), su = std::sin(u);
        const double ci = std::cos(inc), si = std::sin(inc);
        const double cn = std::cos(node), sn = std::sin(node);
        const double xp = r * cu, yp = r * su;
        out->x = xp * cn - yp * ci * sn;
        out->y = xp * sn + yp * ci * cn;
        out->z = yp * si;

        const double newRange = keepRange ? range : Distance(out->x, out->y, out->z, receiver);
        const double newTau = newRange / kSpeedOfLight;
        const bool converged = std::fabs(tau - newTau) <= kGpsTransitTolerance;
        // Only the position steers the passes; the velocity is needed from
        // the pass that is returned.
        if (!converged && pass + 1 < kMaxTransitPasses) {
            tau = newTau;
            continue;
        }
        if (!withVelocity) {
            return converged && Finite3(out->x, out->y, out->z) ? 0 : 1;
        }

        // Velocity: the time derivative of the same model.
        const double onePlus = 1.0 + e * std::cos(v);
        const double vDot = k.n * onePlus * onePlus / std::pow(1.0 - e * e, 1.5);
        const double rDot = k.a * k.n * e * std::sin(v) / root + 2.0 * vDot * (eph.crs * cos2 - eph.crc * sin2);
        const double uDot = vDot + 2.0 * vDot * (eph.cus * cos2 - eph.cuc * sin2);
        const double iDot = eph.idot + 2.0 * vDot * (eph.cis * cos2 - eph.cic * sin2);
        const double nodeDot = eph.omegaDot - kGpsOmegaE;
        const double xpDot = rDot * cu - r * uDot * su;
        const double ypDot = rDot * su + r * uDot * cu;
        out->vx = xpDot * cn - ypDot * ci * sn + yp * si * sn * iDot - (xp * sn + yp * ci * cn) * nodeDot;
        out->vy = xpDot * sn + ypDot * ci * cn - yp * si * cn * iDot + (xp * cn - yp * ci * sn) * nodeDot;
        out->vz = ypDot * si + yp * ci * iDot;

        if (converged) {
            return Finite3(out->x, out->y, out->z) && Finite3(out->vx, out->vy, out->vz) ? 0 : 1;
        }
    }
    return 1;
}

} // namespace

int32_t GpsSatellitePosition(int32_t, const GpsEphRecord *ephemeris, double t, double range, const SatState *receiver,
                             SatState *out) {
    return GpsOrbit(ephemeris, t, range, receiver, out, true);
}

int32_t GpsSatellitePositionOnly(const GpsEphRecord *ephemeris, double t, double range, const SatState *receiver,
                                 SatState *out) {
    return GpsOrbit(ephemeris, t, range, receiver, out, false);
}

void GlonassDerivatives(const double s[6], const double acc[3], double d[6]) {
    const double r2 = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
    const double r = std::sqrt(r2);
    const double r3 = r2 * r;
    const double r5 = r3 * r2;
    const double g1 = -kGlonassMu / r3;
    const double g2 = -kGlonassJ2Term / r5;
    const double g3 = 5.0 * s[2] * s[2] / r2;
    d[0] = s[3];
    d[1] = s[4];
    d[2] = s[5];
    d[3] = g1 * s[0] + g2 * s[0] * (1.0 - g3) + kGlonassOmegaE2 * s[0] + kGlonassTwoOmegaE * s[4] + acc[0];
    d[4] = g1 * s[1] + g2 * s[1] * (1.0 - g3) + kGlonassOmegaE2 * s[1] - kGlonassTwoOmegaE * s[3] + acc[1];
    d[5] = g1 * s[2] + g2 * s[2] * (3.0 - g3) + acc[2];
}

// Over 60 lines: the Runge-Kutta steps and the guards on the step count
// and the span are kept with the integration they bound.
int32_t IntegrateGlonassOrbit(const GlonassEphemeris *eph, double t, double step, double position[3],
                              double velocity[3]) {
    const double span = t - eph->tb;
    // Written so that a NaN span is refused too; the step count below must
    // never be taken from a number that does not fit an integer.
    if (!(std::fabs(span) <= kGlonassMaxSpan)) {
        FormatErrorText("Cannot compute orbit for Glonass PRN %d, time too far out", eph->prn);
        return 1;
    }
    double steps = 1.0;
    if (!(step > 0.0) || !std::isfinite(step)) {
        steps = 0.0; // refused below
    } else if (std::fabs(span) >= step) {
        steps = std::trunc(std::fabs(span) / step);
        if (steps < 1.0) {
            steps = 1.0;
        }
    }
    if (steps < 1.0 || steps > kMaxGlonassSteps) {
        FormatErrorText("Error: Runge-kutta failed for Glonass prn %d", eph->prn);
        return 1;
    }
    const int count = static_cast<int>(steps);
    // Signed and equal steps, so the last one ends on t.
    const double h = span / steps;

    double s[6] = {eph->position[0], eph->position[1], eph->position[2],
                   eph->velocity[0], eph->velocity[1], eph->velocity[2]};
    double time = eph->tb;
    double k1[6], k2[6], k3[6], k4[6], tmp[6];
    for (int n = 0; n < count; ++n) {
        GlonassDerivatives(s, eph->acceleration, k1);
        for (int i = 0; i < 6; ++i) {
            k1[i] *= h;
            tmp[i] = s[i] + k1[i] / 2.0;
        }
        GlonassDerivatives(tmp, eph->acceleration, k2);
        for (int i = 0; i < 6; ++i) {
            k2[i] *= h;
            tmp[i] = s[i] + k2[i] / 2.0;
        }
        GlonassDerivatives(tmp, eph->acceleration, k3);
        for (int i = 0; i < 6; ++i) {
            k3[i] *= h;
            tmp[i] = s[i] + k3[i];
        }
        GlonassDerivatives(tmp, eph->acceleration, k4);
        for (int i = 0; i < 6; ++i) {
            k4[i] *= h;
            s[i] += (k1[i] + 2.0 * k2[i] + 2.0 * k3[i] + k4[i]) / 6.0;
        }
        time += h;
    }
    if (!(std::fabs(time - t) <= kGlonassEndTolerance)) {
        FormatErrorText("Error: Runge-kutta failed for Glonass prn %d", eph->prn);
        return 1;
    }
    for (int i = 0; i < 3; ++i) {
        position[i] = 1000.0 * s[i];
        velocity[i] = 1000.0 * s[i + 3];
    }
    return 0;
}

int32_t GlonassSatellitePosition(int32_t, const GlonassEphemeris *eph, double t, double range, const SatState *receiver,
                                 SatState *out) {
    if (eph == nullptr) {
        return 1;
    }
    double tau = range / kSpeedOfLight;
    double position[3] = {0.0, 0.0, 0.0};
    double velocity[3];
    bool settled = false;
    for (int pass = 0; pass < kMaxTransitPasses; ++pass) {
        const double te = (t - tau) - eph->gamma * (t - eph->tb);
        if (IntegrateGlonassOrbit(eph, te, kGlonassStep, position, velocity) != 0) {
            return 1;
        }
        range = Distance(position[0], position[1], position[2], receiver);
        const double newTau = range / kSpeedOfLight;
        const double delta = std::fabs(newTau - tau);
        tau = newTau;
        if (delta <= kGlonassTransitTolerance) {
            settled = true;
            break;
        }
    }
    if (!settled) {
        return 1;
    }
    // Turn the Earth through the travel time so that the position is in the
    // frame of the reception time.
    const double theta = range * kGlonassRotationPerMetre;
    const double c = std::cos(theta), s = std::sin(theta);
    out->x = position[0] * c + position[1] * s;
    out->y = position[1] * c - position[0] * s;
    out->z = position[2];
    return Finite3(out->x, out->y, out->z) ? 0 : 1;
}

double CorrectGlonassClock(const GlonassEphemeris *eph, double t, double p) {
    const double tauN = eph->tauN;
    const double gamma = eph->gamma;
    p = p - kSpeedOfLight * ((tauN + eph->clockOffset) - gamma * (t - eph->tb));
    // A range whole light-seconds away from any real one carries a
    // millisecond/second ambiguity of the receiver: remove the whole seconds.
    const double off = (p - kGlonassNominalRange) / kSpeedOfLight;
    if (std::fabs(off) > 10.0) {
        const double k = std::trunc(off + 0.25);
        p = p - k * kSpeedOfLight;
    }
    return p;
}
