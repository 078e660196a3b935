// Precession between J2000 and the mean equator and equinox of a date, IAU
// 2006 (the Fukushima-Williams angles, frame bias included).
#ifndef PRECESSION_H
#define PRECESSION_H

// Julian centuries of TT since J2000 for a Unix time in seconds (UTC; the
// minute between UTC and TT is far below what precession can show).
double JulianCenturiesFromUnix(double unixSeconds);

// The rotation from J2000 (GCRS) to the mean place of the date t.
void PrecessionMatrix(double t, double m[3][3]);

// Right ascension and declination in radians, right ascension in [0, 2*pi).
void PrecessFromJ2000(double t, double ra, double dec, double *raDate, double *decDate);
void PrecessToJ2000(double t, double raDate, double decDate, double *ra, double *dec);

#endif
