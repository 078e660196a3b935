#include "SkyChart.h"

#include <math.h>

namespace {

const double kHour = kPi / 12, kDegree = kPi / 180;

#define STAR(name, h, m, s, sign, d, am, as, mag) \
    {name, ((h) + (m) / 60.0 + (s) / 3600.0) * kHour, (sign) * ((d) + (am) / 60.0 + (as) / 3600.0) * kDegree, mag}

const ChartStar kStars[] = {
    STAR("Sirius", 6, 45, 8.9, -1, 16, 42, 58, -1.46),
    STAR("Arcturus", 14, 15, 39.7, 1, 19, 10, 57, -0.05),
    STAR("Vega", 18, 36, 56.3, 1, 38, 47, 1, 0.03),
    STAR("Capella", 5, 16, 41.4, 1, 45, 59, 53, 0.08),
    STAR("Rigel", 5, 14, 32.3, -1, 8, 12, 6, 0.13),
    STAR("Procyon", 7, 39, 18.1, 1, 5, 13, 30, 0.34),
    STAR("Betelgeuse", 5, 55, 10.31, 1, 7, 24, 25.4, 0.50),
    STAR("Altair", 19, 50, 47.0, 1, 8, 52, 6, 0.77),
    STAR("Aldebaran", 4, 35, 55.2, 1, 16, 30, 33, 0.85),
    STAR("Spica", 13, 25, 11.6, -1, 11, 9, 41, 0.97),
    STAR("Antares", 16, 29, 24.5, -1, 26, 25, 55, 1.09),
    STAR("Pollux", 7, 45, 18.9, 1, 28, 1, 34, 1.14),
    STAR("Deneb", 20, 41, 25.9, 1, 45, 16, 49, 1.25),
    STAR("Regulus", 10, 8, 22.3, 1, 11, 58, 2, 1.35),
    STAR("Castor", 7, 34, 36.0, 1, 31, 53, 18, 1.58),
    STAR("Bellatrix", 5, 25, 7.9, 1, 6, 20, 59, 1.64),
    STAR("Elnath", 5, 26, 17.5, 1, 28, 36, 27, 1.65),
    STAR("Alnilam", 5, 36, 12.8, -1, 1, 12, 7, 1.69),
    STAR("Alnitak", 5, 40, 45.5, -1, 1, 56, 34, 1.77),
    STAR("Menkalinan", 5, 59, 31.7, 1, 44, 56, 51, 1.90),
    STAR("Alhena", 6, 37, 42.7, 1, 16, 23, 57, 1.93),
    STAR("Polaris", 2, 31, 49.1, 1, 89, 15, 51, 1.98),
    STAR("Mirzam", 6, 22, 42.0, -1, 17, 57, 21, 1.98),
    STAR("Hamal", 2, 7, 10.4, 1, 23, 27, 45, 2.00),
    STAR("Saiph", 5, 47, 45.4, -1, 9, 40, 11, 2.09),
    STAR("Mintaka", 5, 32, 0.4, -1, 0, 17, 57, 2.23),
    STAR("Adhara", 6, 58, 37.5, -1, 28, 58, 20, 1.50),
    STAR("Wezen", 7, 8, 23.5, -1, 26, 23, 36, 1.83),
    STAR("Tejat", 6, 22, 57.6, 1, 22, 30, 49, 2.87),
    STAR("Gomeisa", 7, 27, 9.0, 1, 8, 17, 22, 2.89),
    STAR("Meissa", 5, 35, 8.3, 1, 9, 56, 3, 3.39),
    STAR("Alzirr", 6, 45, 17.4, 1, 12, 53, 44, 3.35),
};

#undef STAR

} // namespace

const ChartStar *ChartStars(int *count)
{
    *count = (int)(sizeof kStars / sizeof kStars[0]);
    return kStars;
}

bool ProjectOnChart(const ChartView &view, double ra, double dec, double *x, double *y)
{
    const double dRA = ra - view.centreRA;
    const double cosC = sin(view.centreDec) * sin(dec) + cos(view.centreDec) * cos(dec) * cos(dRA);
    if (cosC < 0.2)
        return false;
    const double east = cos(dec) * sin(dRA) / cosC;
    const double north = (cos(view.centreDec) * sin(dec) - sin(view.centreDec) * cos(dec) * cos(dRA)) / cosC;
    // East is to the left on a chart of the sky seen from below.
    *x = view.width / 2.0 - east * view.pixelsPerRadian;
    *y = view.height / 2.0 - north * view.pixelsPerRadian;
    return true;
}

const ChartStar *StarNear(const ChartView &view, int x, int y, int radius)
{
    int count;
    const ChartStar *stars = ChartStars(&count);
    const ChartStar *best = nullptr;
    double bestDistance = radius + 0.5;
    for (int i = 0; i < count; ++i) {
        double sx, sy;
        if (!ProjectOnChart(view, stars[i].rightAscension, stars[i].declination, &sx, &sy))
            continue;
        const double d = hypot(sx - x, sy - y);
        if (d < bestDistance) {
            bestDistance = d;
            best = &stars[i];
        }
    }
    return best;
}
