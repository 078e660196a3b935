// IAU 2006 precession: the Fukushima-Williams angles gamma-bar, phi-bar,
// psi-bar and the mean obliquity, as polynomials in t (Julian centuries of
// TT since J2000), composed into one rotation.
#include "Precession.h"

#include <math.h>

static const double kArcsecond = 3.14159265358979323846 / (180.0 * 3600.0);
static const double kTwoPi = 6.28318530717958647692;

double JulianCenturiesFromUnix(double unixSeconds)
{
    // Unix day 0 is JD 2440587.5; J2000 is JD 2451545.0 TT. TT - UTC is
    // 69.184 s in these years.
    double jd = 2440587.5 + (unixSeconds + 69.184) / 86400.0;
    return (jd - 2451545.0) / 36525.0;
}

// Frame rotations: about x (1) and about z (3), applied on the left.
static void RotateX(double angle, double m[3][3])
{
    double s = sin(angle), c = cos(angle);
    for (int j = 0; j < 3; ++j) {
        double a = m[1][j], b = m[2][j];
        m[1][j] = c * a + s * b;
        m[2][j] = -s * a + c * b;
    }
}

static void RotateZ(double angle, double m[3][3])
{
    double s = sin(angle), c = cos(angle);
    for (int j = 0; j < 3; ++j) {
        double a = m[0][j], b = m[1][j];
        m[0][j] = c * a + s * b;
        m[1][j] = -s * a + c * b;
    }
}

void PrecessionMatrix(double t, double m[3][3])
{
    double gamma = (-0.052928 + (10.556378 + (0.4932044 + (-0.00031238 + (-0.000002788 + 0.0000000260 * t) * t) * t) * t) * t) * kArcsecond;
    double phi = (84381.412819 + (-46.811016 + (0.0511268 + (0.00053289 + (-0.000000440 - 0.0000000176 * t) * t) * t) * t) * t) * kArcsecond;
    double psi = (-0.041775 + (5038.481484 + (1.5584175 + (-0.00018522 + (-0.000026452 - 0.0000000148 * t) * t) * t) * t) * t) * kArcsecond;
    double epsilon = (84381.406 + (-46.836769 + (-0.0001831 + (0.00200340 + (-0.000000576 - 0.0000000434 * t) * t) * t) * t) * t) * kArcsecond;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m[i][j] = i == j ? 1.0 : 0.0;
    RotateZ(gamma, m);
    RotateX(phi, m);
    RotateZ(-psi, m);
    RotateX(-epsilon, m);
}

static void ToVector(double ra, double dec, double v[3])
{
    v[0] = cos(dec) * cos(ra);
    v[1] = cos(dec) * sin(ra);
    v[2] = sin(dec);
}

static void FromVector(const double v[3], double *ra, double *dec)
{
    double r = atan2(v[1], v[0]);
    if (r < 0)
        r += kTwoPi;
    if (r >= kTwoPi)
        r -= kTwoPi;
    *ra = r;
    *dec = atan2(v[2], sqrt(v[0] * v[0] + v[1] * v[1]));
}

// The matrix of the last date asked for is used again while the date stays
// within an hour of it: in an hour precession moves a place by 0.006". With
// it the last place turned, since a mount read many times between two of
// its updates asks for the same one again.
static const double kMatrixReuseCenturies = 1.0 / (36525.0 * 24.0);
static struct {
    int made;
    double t;
    double m[3][3];
    int turned, inverse; // the last place turned with this matrix
    double ra, dec, outRa, outDec;
} gLast;

static void Rotate(double t, int inverse, double ra, double dec, double *outRa, double *outDec)
{
    if (!gLast.made || !(fabs(t - gLast.t) <= kMatrixReuseCenturies)) {
        PrecessionMatrix(t, gLast.m);
        gLast.t = t;
        gLast.made = 1;
        gLast.turned = 0;
    }
    if (!(gLast.turned && gLast.inverse == inverse && gLast.ra == ra && gLast.dec == dec)) {
        const double(*m)[3] = gLast.m;
        double v[3], w[3];
        ToVector(ra, dec, v);
        for (int i = 0; i < 3; ++i)
            w[i] = inverse ? m[0][i] * v[0] + m[1][i] * v[1] + m[2][i] * v[2]
                           : m[i][0] * v[0] + m[i][1] * v[1] + m[i][2] * v[2];
        FromVector(w, &gLast.outRa, &gLast.outDec);
        gLast.turned = 1;
        gLast.inverse = inverse;
        gLast.ra = ra;
        gLast.dec = dec;
    }
    *outRa = gLast.outRa;
    *outDec = gLast.outDec;
}

void PrecessFromJ2000(double t, double ra, double dec, double *raDate, double *decDate)
{
    Rotate(t, 0, ra, dec, raDate, decDate);
}

void PrecessToJ2000(double t, double raDate, double decDate, double *ra, double *dec)
{
    Rotate(t, 1, raDate, decDate, ra, dec);
}
