// Sky arithmetic.
#include "SkyMath.h"

#include <math.h>

static const double kTwoPi = 6.28318530717958647692;

double WrapRightAscension(double ra)
{
    if (ra >= 0.0 && ra < kTwoPi)
        return ra;
    double w = fmod(ra, kTwoPi);
    if (w < 0.0)
        w += kTwoPi;
    return w >= kTwoPi ? 0.0 : w;
}

double SkyDistance(double ra1, double dec1, double ra2, double dec2)
{
    double a = sin((dec2 - dec1) / 2), b = sin((ra2 - ra1) / 2);
    double h = a * a + cos(dec1) * cos(dec2) * b * b;
    return 2 * asin(sqrt(h > 1 ? 1 : h));
}

unsigned short ProgressFromDistance(double left, double atLaunch)
{
    double done = atLaunch > 1e-9 ? 1 - left / atLaunch : 0;
    int value = (int)floor(done * 100);
    return (unsigned short)(value < 0 ? 0 : value > 99 ? 99 : value);
}
