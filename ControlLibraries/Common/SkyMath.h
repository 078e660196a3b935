// Sky arithmetic that every control library needs: right ascension and
// declination in radians.
#ifndef KIT_SKY_MATH_H
#define KIT_SKY_MATH_H

// Right ascension into [0, 2*pi); one already there is returned bit for bit.
double WrapRightAscension(double ra);

// The great-circle distance between two places, radians (haversine: exact
// for small distances too).
double SkyDistance(double ra1, double dec1, double ra2, double dec2);

// A go-to's progress, 0 to 99, from the distance left against the distance
// at launch (0 when the launch distance is nil).
unsigned short ProgressFromDistance(double left, double atLaunch);

#endif
