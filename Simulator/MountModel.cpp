// The mount's behaviour: provider and alignment states, the pointing model,
// and go-tos that move in time. No clock, no I/O.
#include "MountModel.h"

#include <math.h>
#include <string.h>

static const double kPi = 3.14159265358979323846;
static const double kTwoPi = 2.0 * kPi;

const char *EntryName(Entry e)
{
    static const char *const names[] = {
#define DRAV_SIM_NAME(name, params) #name,
        TCS_ENTRY_POINTS(DRAV_SIM_NAME)
#undef DRAV_SIM_NAME
    };
    return e >= 0 && e < kEntryCount ? names[e] : "?";
}

Scenario::Scenario()
{
    for (int &f : forced)
        f = -1;
}

void ResetMount(Mount *m, const Scenario &scenario)
{
    *m = Mount();
    m->scenario = scenario;
    m->alignment = scenario.align;
    // An aligned mount was aligned on at least one point.
    m->points = scenario.points == 0 && scenario.align != Alignment::None ? 1 : scenario.points;
    m->position = {WrapRightAscension(scenario.start.ra), scenario.start.dec};
    m->park = m->position;
}

static bool Scripted(const Mount &m) { return !m.scenario.scriptedProgress.empty(); }

// How far along its path a moving go-to is, 0 to 1.
static double SlewFraction(const Mount &m)
{
    const Slew &s = m.slew;
    if (Scripted(m))
        return (s.scripted < 100 ? s.scripted : 100) / 100.0;
    double f = s.duration > 0 ? s.elapsed / s.duration : 1.0;
    if (m.scenario.stallPercent >= 0 && f > m.scenario.stallPercent / 100.0)
        f = m.scenario.stallPercent / 100.0;
    return f < 1.0 ? f : 1.0;
}

static void Arrive(Mount *m)
{
    m->slew.active = false;
    m->position = m->slew.to;
}

void StepMount(Mount *m, double seconds)
{
    Slew &s = m->slew;
    if (!s.active || Scripted(*m) || seconds <= 0)
        return;
    s.elapsed += seconds;
    if (s.elapsed >= s.duration && m->scenario.stallPercent < 0)
        Arrive(m);
}

Sky MountPosition(const Mount &m)
{
    const Slew &s = m.slew;
    if (!s.active)
        return m.position;
    double f = SlewFraction(m);
    double dra = remainder(s.to.ra - s.from.ra, kTwoPi); // the short way round
    return {WrapRightAscension(s.from.ra + f * dra), s.from.dec + f * (s.to.dec - s.from.dec)};
}

// The percentage a go-to poll reports (counting the poll for scripted go-tos).
static unsigned short PollPercent(Mount *m)
{
    Slew &s = m->slew;
    if (!s.active)
        return 100;
    if (Scripted(*m)) {
        const std::vector<unsigned short> &script = m->scenario.scriptedProgress;
        s.scripted = script[s.polls < script.size() ? s.polls : script.size() - 1];
        ++s.polls;
        if (s.scripted >= 100) {
            unsigned short p = s.scripted;
            Arrive(m);
            return p;
        }
        return s.scripted;
    }
    ++s.polls;
    double p = s.duration > 0 ? floor(100.0 * s.elapsed / s.duration) : 100.0;
    unsigned short percent = p >= 99.0 ? 99 : (unsigned short)p;
    int stall = m->scenario.stallPercent;
    return stall >= 0 && percent > stall ? (unsigned short)stall : percent;
}

// --- Who may do what ---------------------------------------------------------

enum class Gate {
    Free,      // settings: only a running provider is needed
    Motion,    // needs an active provider
    Celestial, // needs an active provider and the Celestial alignment
    Aligning,  // alignment commands: need the mount in land mode
};

// True, with the answer, when the call is refused before it does anything:
// a forced code, the provider, the mode or the alignment.
static bool Refused(const Mount &m, Entry e, Gate gate, Answer *a)
{
    const Scenario &sc = m.scenario;
    if (sc.forced[e] >= 0 && sc.forced[e] != kTcsDone)
        return *a = {(unsigned short)sc.forced[e], false}, true;
    if (sc.provider == Provider::Off)
        return *a = {kTcsNoProvider, false}, true;
    bool inactive = sc.provider == Provider::Inactive;
    if (gate == Gate::Aligning && (inactive || !sc.landMode))
        return *a = {kTcsNotInLandMode, false}, true;
    if ((gate == Gate::Motion || gate == Gate::Celestial) && inactive)
        return *a = {kTcsRefused, false}, true;
    if (gate == Gate::Celestial && m.alignment == Alignment::None)
        return *a = {kTcsNotAligned, false}, true;
    return false;
}

// A forced 1 makes even a refused call answer 1 (its out-arguments unwritten).
static Answer Finish(const Mount &m, Entry e, Answer a)
{
    if (m.scenario.forced[e] == kTcsDone)
        a.code = kTcsDone;
    return a;
}

static const Answer kWrote = {kTcsDone, true}, kDid = {kTcsDone, false};

#define REFUSE_UNLESS(mount, entry, gate)               \
    do {                                                \
        Answer refusal;                                 \
        if (Refused(mount, entry, gate, &refusal))      \
            return Finish(mount, entry, refusal);       \
    } while (0)

// --- Queries -----------------------------------------------------------------

// The version is the library's own: written even when the provider is not running.
Answer MountGetVersion(const Mount &m, char *text, int size)
{
    if (size > 0) {
        size_t n = m.scenario.version.size() < (size_t)size - 1 ? m.scenario.version.size() : (size_t)size - 1;
        memcpy(text, m.scenario.version.data(), n);
        text[n] = '\0';
    }
    Answer a = {m.scenario.provider == Provider::Off ? kTcsNoProvider : kTcsDone, size > 0};
    if (m.scenario.forced[k_TCS_GetVersion] >= 0)
        a.code = (unsigned short)m.scenario.forced[k_TCS_GetVersion];
    return a;
}

// Status queries always write their code; a forced answer changes only the result.
static Answer Status(const Mount &m, Entry e, int raw, unsigned short modelled, unsigned short *code)
{
    bool off = m.scenario.provider == Provider::Off;
    *code = raw >= 0 ? (unsigned short)raw : off ? kTcsNoProvider : modelled;
    Answer a = {off ? kTcsNoProvider : kTcsDone, true};
    if (m.scenario.forced[e] >= 0)
        a.code = (unsigned short)m.scenario.forced[e];
    return a;
}

Answer MountGetControlStatus(const Mount &m, unsigned short *code)
{
    unsigned short modelled = m.scenario.provider == Provider::Active ? kTcsActive : kTcsInactive;
    return Status(m, k_TCS_GetControlStatus, m.scenario.controlCode, modelled, code);
}

Answer MountGetAlignmentStatus(const Mount &m, unsigned short *code)
{
    unsigned short modelled = m.alignment == Alignment::None        ? kTcsNotAligned
                              : m.alignment == Alignment::Celestial ? kTcsCelestialAligned
                                                                    : kTcsBothAligned;
    return Status(m, k_TCS_GetAlignmentStatus, m.scenario.alignmentCode, modelled, code);
}

Answer MountGetCelestialCoords(const Mount &m, Sky *pos)
{
    REFUSE_UNLESS(m, k_TCS_GetCelestialCoords, Gate::Celestial);
    *pos = MountPosition(m);
    return Finish(m, k_TCS_GetCelestialCoords, kWrote);
}

// After the last go-to has ended (or before any) the progress reads 100.
// With progressfail=P:N, a go-to that has reached P answers N from then on.
Answer MountGetGoToProgress(Mount *m, unsigned short *percent)
{
    REFUSE_UNLESS(*m, k_TCS_GetGoToProgress, Gate::Celestial);
    unsigned short p = PollPercent(m);
    if (m->slew.launched && m->scenario.failPercent >= 0 && p >= m->scenario.failPercent)
        return Finish(*m, k_TCS_GetGoToProgress, {(unsigned short)m->scenario.failCode, false});
    *percent = p;
    return Finish(*m, k_TCS_GetGoToProgress, kWrote);
}

// Pier side (0 east, 1 west of the meridian of RA 0) and hemisphere (0 north).
Answer MountGetScopeOrientation(const Mount &m, unsigned short *a, unsigned short *b)
{
    REFUSE_UNLESS(m, k_TCS_GetScopeOrientation, Gate::Motion);
    Sky p = MountPosition(m);
    *a = p.ra < kPi ? 0 : 1;
    *b = p.dec >= 0 ? 0 : 1;
    return Finish(m, k_TCS_GetScopeOrientation, kWrote);
}

// Settings: 0 track rate, 1 refraction correction, 2 alignment points.
Answer MountGetControlSettingUShort(const Mount &m, unsigned short setting, unsigned short *value)
{
    REFUSE_UNLESS(m, k_TCS_GetControlSettingUShort, Gate::Free);
    if (setting > 2)
        return Finish(m, k_TCS_GetControlSettingUShort, {kTcsRefused, false});
    *value = setting == 0 ? m.trackRate : setting == 1 ? m.refraction : (unsigned short)m.points;
    return Finish(m, k_TCS_GetControlSettingUShort, kWrote);
}

// Settings: 0 slew rate (degrees/s), 1 epoch, 2 temperature, 3 pressure.
Answer MountGetControlSettingDouble(const Mount &m, unsigned short setting, double *value)
{
    REFUSE_UNLESS(m, k_TCS_GetControlSettingDouble, Gate::Free);
    const double values[] = {m.scenario.rate, m.epoch, m.temperature, m.pressure};
    if (setting > 3)
        return Finish(m, k_TCS_GetControlSettingDouble, {kTcsRefused, false});
    *value = values[setting];
    return Finish(m, k_TCS_GetControlSettingDouble, kWrote);
}

// --- Settings ----------------------------------------------------------------

#define STORE_SETTING(function, entry, field, type)          \
    Answer function(Mount *m, type value)                    \
    {                                                        \
        REFUSE_UNLESS(*m, entry, Gate::Free);                \
        m->field = value;                                    \
        return Finish(*m, entry, kDid);                      \
    }
STORE_SETTING(MountSelectTrackRate, k_TCS_SelectTrackRate, trackRate, unsigned short)
STORE_SETTING(MountSetEpoch, k_TCS_SetEpoch, epoch, double)
STORE_SETTING(MountSetRefractionCorr, k_TCS_SetRefractionCorr, refraction, unsigned short)
STORE_SETTING(MountSetRefractionTemperature, k_TCS_SetRefractionTemperature, temperature, double)
STORE_SETTING(MountSetRefractionPressure, k_TCS_SetRefractionPressure, pressure, double)
#undef STORE_SETTING

Answer MountSetParkMark(Mount *m)
{
    REFUSE_UNLESS(*m, k_TCS_SetParkMark, Gate::Motion);
    m->park = MountPosition(*m);
    return Finish(*m, k_TCS_SetParkMark, kDid);
}

// --- Alignment ---------------------------------------------------------------

// The pointing model is shifted so that where the mount points now reads as
// `pos`; a go-to under way is shifted with it.
static void ShiftPointingTo(Mount *m, Sky pos)
{
    pos.ra = WrapRightAscension(pos.ra);
    if (m->slew.active) {
        Sky now = MountPosition(*m);
        double dra = pos.ra - now.ra, ddec = pos.dec - now.dec;
        m->slew.from = {WrapRightAscension(m->slew.from.ra + dra), m->slew.from.dec + ddec};
        m->slew.to = {WrapRightAscension(m->slew.to.ra + dra), m->slew.to.dec + ddec};
    }
    m->position = pos;
}

// A point is a star the user has centred: the mount learns it points there.
Answer MountSetCelestialAlignPoint(Mount *m, Sky pos, unsigned short, unsigned short)
{
    REFUSE_UNLESS(*m, k_TCS_SetCelestialAlignPoint, Gate::Aligning);
    ++m->points;
    ShiftPointingTo(m, pos);
    return Finish(*m, k_TCS_SetCelestialAlignPoint, kDid);
}

Answer MountSetCelestialAlignFromAlignPoints(Mount *m)
{
    REFUSE_UNLESS(*m, k_TCS_SetCelestialAlignFromAlignPoints, Gate::Aligning);
    if (m->points == 0)
        return Finish(*m, k_TCS_SetCelestialAlignFromAlignPoints, {kTcsRefused, false});
    if (m->alignment == Alignment::None)
        m->alignment = Alignment::Celestial;
    return Finish(*m, k_TCS_SetCelestialAlignFromAlignPoints, kDid);
}

// Drops the alignment; the points stay, so it can be built again.
Answer MountVoidCelestialAlign(Mount *m)
{
    REFUSE_UNLESS(*m, k_TCS_VoidCelestialAlign, Gate::Aligning);
    m->alignment = Alignment::None;
    return Finish(*m, k_TCS_VoidCelestialAlign, kDid);
}

Answer MountCalibrate(Mount *m, Sky pos)
{
    REFUSE_UNLESS(*m, k_TCS_Calibrate, Gate::Celestial);
    ShiftPointingTo(m, pos);
    return Finish(*m, k_TCS_Calibrate, kDid);
}

// --- Motion ------------------------------------------------------------------

static void StartSlew(Mount *m, Sky target)
{
    Slew &s = m->slew;
    s.from = MountPosition(*m);
    s.to = {WrapRightAscension(target.ra), target.dec};
    s.duration = SkyDistance(s.from.ra, s.from.dec, s.to.ra, s.to.dec) * 180.0 / kPi / m->scenario.rate;
    s.elapsed = 0;
    s.polls = 0;
    s.scripted = 0;
    s.launched = true;
    s.active = true;
    if (s.duration <= 0 && !Scripted(*m) && m->scenario.stallPercent < 0)
        Arrive(m);
}

Answer MountGoToCelestialCoords(Mount *m, Sky target)
{
    REFUSE_UNLESS(*m, k_TCS_GoToCelestialCoords, Gate::Celestial);
    StartSlew(m, target);
    return Finish(*m, k_TCS_GoToCelestialCoords, kDid);
}

Answer MountGoToPark(Mount *m)
{
    REFUSE_UNLESS(*m, k_TCS_GoToPark, Gate::Motion);
    StartSlew(m, m->park);
    return Finish(*m, k_TCS_GoToPark, kDid);
}

// Stops where the mount is; the go-to counts as ended.
Answer MountKillMotion(Mount *m)
{
    REFUSE_UNLESS(*m, k_TCS_KillMotion, Gate::Motion);
    if (m->slew.active) {
        m->position = MountPosition(*m);
        m->slew.active = false;
    }
    return Finish(*m, k_TCS_KillMotion, kDid);
}
