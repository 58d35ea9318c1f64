#include "store.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <type_traits>

namespace apisim {
namespace {

Field field_of(int32_t& v) { return {Field::Int, &v, sizeof v}; }
template <size_t N>
Field field_of(char (&t)[N]) { return {Field::Text, t, N}; }
template <class T, size_t N>
Field field_of(T (&block)[N]) { return {Field::Raw, block, sizeof block}; }
Field field_of(Field f) { return f; }

// A number that the record keeps as text (the wireless mode, authentication
// and encryption fields are texts; their operations carry a code).
template <size_t N>
Field numtext(char (&t)[N]) { return {Field::NumText, t, N}; }

int32_t& cut_pixel(BUFFER_ENCODE_T& r, int i) {
    return reinterpret_cast<int32_t*>(&r.VeldaConfigs.CutPixel)[i];
}

// WEP keys 1 to 4.
Field wep_key(BUFFER_ENCODE_T& r, int i) {
    char* const keys[] = {r.WlanConfigs.key1, r.WlanConfigs.key2, r.WlanConfigs.key3,
                          r.WlanConfigs.key4};
    return {Field::Text, keys[i - 1], sizeof r.WlanConfigs.key1};
}

}  // namespace

// set, get, field expression over r (the record), x (the extras) and i (the
// index); n entries from `first`, or 0 for a setting without index.
#define HOME(set, get, n, first, expr)                              \
    {set, get, #expr, n, first, [](Store& s, int i) -> Field {      \
         if ((n) && (i < (first) || i >= (first) + (n))) return {}; \
         auto& r = *s.rec;                                          \
         auto& x = s.extra;                                         \
         (void)r, (void)x, (void)i;                                 \
         return field_of(expr);                                     \
     }}
#define CH(set, get, expr) HOME(set, get, 4, 0, expr)
#define ONE(set, get, expr) HOME(set, get, 0, 0, expr)
#define LINE(set, get, expr) HOME(set, get, 10, 0, expr)

const Home kHomes[] = {
    // Video encoder and image settings, per channel.
    CH(1, 2, r.VideoConfig[i].Compression),
    CH(3, 4, r.VideoConfig[i].Resolution),
    CH(5, 6, r.VideoConfig[i].FrameRate),
    CH(7, 8, r.VideoConfig[i].PIRatio),
    CH(9, 10, r.VideoConfig[i].MPEG4Encode),
    CH(11, 12, r.VideoConfig[i].CameraType),
    CH(13, 14, r.AudioConfig[i].AudioEncode),
    CH(15, 16, r.VideoConfig[i].MJPGEncode),
    CH(18, 19, r.VideoConfig[i].MJPEGQuality),
    CH(150, 151, r.VideoConfig[i].Brightness),
    CH(152, 153, r.VideoConfig[i].Contrast),
    CH(154, 155, r.VideoConfig[i].Saturation),
    CH(156, 157, r.VideoConfig[i].Hue),
    CH(320, 321, r.CBRConfig[i].CBREnable),
    CH(322, 323, r.CBRConfig[i].CBRByteRate),
    CH(392, 393, r.VideoConfig[i].Frequency),
    HOME(211, 210, 8, 0, cut_pixel(r, i)),
    ONE(427, 426, r.NewAddcfg.codetype),
    ONE(429, 428, r.NewAddcfg.alarmsoundflags),
    ONE(431, 430, r.NewAddcfg.coderesolution),
    ONE(437, 436, r.NewAddcfg.codeservip),
    ONE(439, 438, r.NewAddcfg.recodeav),
    ONE(371, 372, r.ensnapshot),
    // Wired network and service ports.
    ONE(0, 23, r.NetConfigs.ipaddr),  // the three are set together by 27
    ONE(0, 24, r.NetConfigs.netmask),
    ONE(0, 25, r.NetConfigs.gateway),
    ONE(28, 0, r.NetConfigs.mac),
    ONE(0, 468, r.NetConfigs.real_ipaddr),
    HOME(30, 29, 2, 0, r.DnsConfig.dns[i]),
    ONE(32, 31, r.NetConfigs.en_dhcp),
    ONE(221, 220, r.ThttpdConfig.port),
    ONE(271, 270, r.RtspConfigs.RtspPort),
    ONE(273, 272, r.RtspConfigs.RtpPort),
    ONE(397, 396, r.NetConfigs.UsedInterface),
    // Wireless LAN.
    ONE(105, 104, r.WlanConfigs.type),
    ONE(107, 106, numtext(r.WlanConfigs.mode)),
    ONE(109, 108, r.WlanConfigs.reg),
    ONE(111, 110, r.WlanConfigs.channel),
    ONE(113, 112, r.WlanConfigs.rate),
    ONE(115, 114, r.WlanConfigs.ssid),
    ONE(117, 116, numtext(r.WlanConfigs.auth)),
    ONE(119, 118, numtext(r.WlanConfigs.enc)),
    ONE(121, 120, r.WlanConfigs.defaultkey),
    HOME(123, 122, 4, 1, wep_key(r, i)),
    ONE(125, 124, r.WlanConfigs.wpakey),
    ONE(127, 126, r.WlanConfigs.ipaddr),
    ONE(129, 128, r.WlanConfigs.netmask),
    ONE(131, 130, r.WlanConfigs.gateway),
    ONE(133, 132, r.WlanConfigs.en_dhcp),
    ONE(135, 134, r.WlanConfigs.defroute),
    ONE(421, 420, r.NewAddcfg.wlswitch),
    // PPPoE, VPN and 3G.
    ONE(37, 36, r.PPPConfigs.user),
    ONE(39, 38, r.PPPConfigs.pass),
    ONE(41, 40, r.PPPConfigs.mtu),
    ONE(43, 42, r.PPPConfigs.enable),
    ONE(369, 368, r.G3Configs.Enable),
    ONE(442, 441, r.PPPConfigs.pppoeroad),
    ONE(444, 443, r.PPPConfigs.vpnenable),
    ONE(446, 445, r.PPPConfigs.vpnuser),
    ONE(448, 447, r.PPPConfigs.vpnpwd),
    ONE(450, 449, r.PPPConfigs.vpnserv),
    ONE(452, 451, r.PPPConfigs.vpnencryption),
    ONE(454, 453, r.PPPConfigs.vpnmask),
    // Dynamic DNS, UPnP and mapping service.
    ONE(83, 82, r.DDNSConfigs.type),
    ONE(85, 84, r.DDNSConfigs.user),
    ONE(87, 86, r.DDNSConfigs.pass),
    ONE(89, 88, r.DDNSConfigs.host),
    ONE(92, 91, r.ddns_state),
    ONE(94, 93, r.DDNSConfigs.server),
    ONE(381, 382, r.LinkwayStatus.linkwayServer),
    ONE(383, 384, r.LinkwayStatus.searched),
    ONE(385, 386, r.LinkwayStatus.mapStatus),
    ONE(388, 387, r.NetConfigs.en_upnp),
    ONE(467, 466, r.NetConfigs.upnp_status),
    // Time zone, users' inner credentials: no field in the record.
    ONE(34, 33, x.zone),
    ONE(470, 469, x.inner_user),
    ONE(472, 471, x.inner_pwd),
    // Mail and FTP.
    ONE(49, 48, r.SmtpConfigs.smtpport),
    ONE(51, 50, r.SmtpConfigs.smtpServer),
    ONE(53, 52, r.SmtpConfigs.mailFrom),
    ONE(55, 54, r.SmtpConfigs.mailTo),
    ONE(57, 56, r.SmtpConfigs.smtpAuth),
    ONE(59, 58, r.SmtpConfigs.authUser),
    ONE(61, 60, r.SmtpConfigs.authPass),
    ONE(63, 62, r.SmtpConfigs.smtpSSL),
    ONE(69, 68, r.FtpConfigs.server),
    ONE(71, 70, r.FtpConfigs.user),
    ONE(73, 72, r.FtpConfigs.pass),
    ONE(75, 74, r.FtpConfigs.port),
    ONE(77, 76, r.FtpConfigs.uploadPath),
    ONE(79, 78, r.FtpConfigs.passive),
    // System control.
    ONE(340, 341, r.multi_config.deviceshowlist),
    ONE(352, 351, r.BufferEmpty),
    ONE(378, 379, r.multi_config.devecelist),
    ONE(435, 434, r.NewAddcfg.procename),
    ONE(457, 456, r.MultiCamInfo),
    // Camera name, labels and OSD.
    ONE(181, 180, r.VeldaConfigs.CameraName),
    ONE(183, 182, r.VeldaConfigs.SnapShotPath),
    ONE(185, 184, r.VeldaConfigs.SnapShotTimeLabel),
    ONE(187, 186, r.VeldaConfigs.SnapShotLableColor),
    ONE(189, 188, r.VeldaConfigs.AudioVolume),
    ONE(191, 190, r.VeldaConfigs.RecPath),
    ONE(193, 192, r.VeldaConfigs.RecDucTime),
    ONE(195, 194, r.VeldaConfigs.RecTimeLabel),
    ONE(197, 196, r.VeldaConfigs.RecLabelColor),
    ONE(199, 198, r.VeldaConfigs.OSDEnable),
    ONE(201, 200, r.VeldaConfigs.OSDText),
    ONE(203, 202, r.VeldaConfigs.OSDCoordX),
    ONE(205, 204, r.VeldaConfigs.OSDCoordY),
    ONE(207, 206, r.VeldaConfigs.OSDColor),
    ONE(209, 208, r.VeldaConfigs.OSDFontSize),
    // Motion detection and alarm actions.
    CH(160, 161, r.MotionConfig[i].Mode),
    CH(162, 163, r.MotionConfig[i].Sensitivity),
    CH(164, 165, r.MotionConfig[i].Mask),
    ONE(171, 170, r.AlarmConfigs.MotionDetectAction),
    ONE(433, 432, r.NewAddcfg.lanalarm),
    // GPIO and alarm I/O (the motion I/O values are camera-wide).
    ONE(354, 353, r.Quorl_config.GPIOOutStatus),
    ONE(356, 355, r.Quorl_config.GPIOInStatus),
    ONE(359, 360, r.Quorl_config.GPIO30Value),
    ONE(361, 362, r.Quorl_config.GPIO29Value),
    ONE(363, 364, r.Quorl_config.OUTLeveltime),
    ONE(365, 367, r.Quorl_config.MotionGpioinAction),
    LINE(241, 240, r.AlarmConfigs.GPIODirection[i]),
    LINE(243, 242, x.gpio_rising[i]),
    LINE(245, 244, x.gpio_falling[i]),
    LINE(247, 246, r.gpio[i]),
    LINE(249, 248, x.gpiob_value[i]),
    LINE(173, 172, r.AlarmConfigs.GPIODefaultValueOut[i]),
    LINE(175, 174, r.AlarmConfigs.GPIOAlarmAction[i]),
    LINE(177, 176, r.AlarmConfigs.GPIOAlarmLevel[i]),
    // PTZ.
    ONE(226, 225, r.PtzConfigs.protocal),
    ONE(228, 227, r.PtzConfigs.baudrate),
    ONE(230, 229, r.PtzConfigs.address),
    ONE(232, 231, r.PtzConfigs.speed),
    ONE(234, 233, r.PtzConfigs.pan_dir),
    ONE(390, 391, r.PtzConfigs.status),
    // Recording settings.
    CH(251, 252, r.StorageConfig.RecordType[i]),
    CH(253, 254, r.StorageConfig.RecordSchedule[i]),
    CH(255, 256, r.StorageConfig.RecordDuration[i]),
    ONE(264, 263, r.StorageConfig.RecordChannel),
    ONE(266, 265, r.StorageConfig.RecordPreOSD),
    ONE(250, 0, r.Record),
    // SD card status.
    ONE(401, 400, r.StorageSD.SdSize),
    ONE(403, 402, r.StorageSD.SdUseSize),
    ONE(405, 404, r.StorageSD.Sdtype),
    ONE(407, 406, r.StorageSD.SdEventCount),
    ONE(409, 408, r.StorageSD.SdWriteCount),
    ONE(411, 410, r.StorageSD.SdPreEventTime),
    ONE(413, 412, r.StorageSD.SdLastEventTime),
    ONE(415, 414, r.StorageSD.RdWriteStatus),
    ONE(417, 416, r.StorageSD.Sdlock),
    ONE(423, 422, r.NewAddcfg.sdcontrol),
    ONE(425, 424, r.NewAddcfg.sdprestop),
};
#undef HOME
#undef CH
#undef ONE
#undef LINE

const size_t kHomeCount = sizeof kHomes / sizeof kHomes[0];

const Home* home_of(int command) {
    if (command <= 0) return nullptr;
    for (const Home& h : kHomes)
        if (h.set == command || h.get == command) return &h;
    return nullptr;
}

int32_t field_int(const Field& f) {
    switch (f.kind) {
    case Field::Int: {
        int32_t v;
        memcpy(&v, f.p, 4);
        return v;
    }
    case Field::NumText: {
        char text[32];
        const size_t n = strnlen(static_cast<const char*>(f.p), f.size < 31 ? f.size : 31);
        memcpy(text, f.p, n);
        text[n] = 0;
        return static_cast<int32_t>(strtol(text, nullptr, 10));
    }
    default:
        return 0;
    }
}

void store_int(const Field& f, int32_t v) {
    if (f.kind == Field::Int) memcpy(f.p, &v, 4);
    if (f.kind == Field::NumText) snprintf(static_cast<char*>(f.p), f.size, "%d", static_cast<int>(v));
}

bool store_text(const Field& f, const char* text) {
    if (f.kind != Field::Text || f.size == 0) return true;
    char* field = static_cast<char*>(f.p);
    const size_t len = strnlen(text, f.size);
    const size_t keep = len < f.size ? len : f.size - 1;
    memcpy(field, text, keep);
    memset(field + keep, 0, f.size - keep);
    return keep == len;
}

// ---- factory settings ----

// A factory value: the entries 0 .. n-1 of the field expression (0: no index).
#define FACTORY(n, value, expr)                                  \
    {#expr, n, value, [](Store& s, int i) -> Field {             \
         if ((n) ? (i < 0 || i >= (n)) : i != 0) return {};      \
         auto& r = *s.rec;                                       \
         auto& x = s.extra;                                      \
         (void)r, (void)x, (void)i;                              \
         return field_of(expr);                                  \
     }}

const FactoryValue kFactory[] = {
    FACTORY(4, "25", r.VideoConfig[i].FrameRate),
    FACTORY(4, "25", r.VideoConfig[i].PIRatio),
    FACTORY(4, "1", r.VideoConfig[i].MJPGEncode),
    FACTORY(4, "80", r.VideoConfig[i].MJPEGQuality),
    FACTORY(4, "128", r.VideoConfig[i].Brightness),
    FACTORY(4, "128", r.VideoConfig[i].Contrast),
    FACTORY(4, "128", r.VideoConfig[i].Saturation),
    FACTORY(4, "128", r.VideoConfig[i].Hue),
    FACTORY(4, "28", r.VideoConfig[i].QP_I),
    FACTORY(4, "30", r.VideoConfig[i].QP_P),
    FACTORY(4, "50", r.VideoConfig[i].Frequency),
    FACTORY(4, "256000", r.CBRConfig[i].CBRByteRate),
    FACTORY(4, "50", r.MotionConfig[i].Sensitivity),
    FACTORY(0, "192.168.1.100", r.NetConfigs.ipaddr),
    FACTORY(0, "255.255.255.0", r.NetConfigs.netmask),
    FACTORY(0, "192.168.1.1", r.NetConfigs.gateway),
    FACTORY(0, "192.168.1.100", r.NetConfigs.real_ipaddr),
    FACTORY(0, "255.255.255.0", r.NetConfigs.real_netmask),
    FACTORY(0, "192.168.1.1", r.NetConfigs.real_gateway),
    FACTORY(0, "192.168.1.1", r.NetConfigs.real_dns),
    FACTORY(0, "02:00:00:00:00:01", r.NetConfigs.mac),
    FACTORY(0, "192.168.1.1", r.DnsConfig.dns[0]),
    FACTORY(0, "80", r.ThttpdConfig.port),
    FACTORY(0, "554", r.RtspConfigs.RtspPort),
    FACTORY(0, "6970", r.RtspConfigs.RtpPort),
    FACTORY(0, "25", r.SmtpConfigs.smtpport),
    FACTORY(0, "21", r.FtpConfigs.port),
    FACTORY(0, "/", r.FtpConfigs.uploadPath),
    FACTORY(0, "0", r.WlanConfigs.mode),
    FACTORY(0, "0", r.WlanConfigs.auth),
    FACTORY(0, "0", r.WlanConfigs.enc),
    FACTORY(0, "6", r.WlanConfigs.channel),
    FACTORY(0, "9600", r.PtzConfigs.baudrate),
    FACTORY(0, "1", r.PtzConfigs.address),
    FACTORY(0, "5", r.PtzConfigs.speed),
    FACTORY(0, "1492", r.PPPConfigs.mtu),
    FACTORY(0, "apisim camera", r.VeldaConfigs.CameraName),
    FACTORY(0, "/mnt/sd/snapshot", r.VeldaConfigs.SnapShotPath),
    FACTORY(0, "/mnt/sd/record", r.VeldaConfigs.RecPath),
    FACTORY(0, "50", r.VeldaConfigs.AudioVolume),
    FACTORY(0, "apisim", r.NewAddcfg.procename),
    FACTORY(0, "admin", r.UserConfigs.entry[0].name),
    FACTORY(0, "admin", r.UserConfigs.entry[0].password),
    FACTORY(0, "3", r.UserConfigs.entry[0].level),
    FACTORY(0, "GMT+00:00", x.zone),
    FACTORY(0, "inner", x.inner_user),
};
#undef FACTORY

const size_t kFactoryCount = sizeof kFactory / sizeof kFactory[0];

void set_defaults(Store& s) {
    memset(s.rec, 0, sizeof *s.rec);
    memset(&s.extra, 0, sizeof s.extra);
    for (const FactoryValue& v : kFactory)
        for (int i = 0; i < (v.count ? v.count : 1); ++i) {
            const Field f = v.at(s, i);
            if (f.kind == Field::Int) store_int(f, static_cast<int32_t>(strtol(v.value, nullptr, 10)));
            else store_text(f, v.value);
        }
    s.mark_all();
}

void restore_factory(Store& s, bool keep_network) {
    BUFFER_ENCODE_T& r = *s.rec;
    // Kept aside while the factory settings go in (the lists are 128 KiB).
    static int32_t lists[4][8192];
    static int32_t counts[4];
    static STORAGE_SD_STAUS card;
    static NET_CONFIG net;
    static DNS_CONFIG dns;
    static WLAN_CONFIG wlan;
    memcpy(lists, r.RecordTime, sizeof lists);
    memcpy(counts, r.RecordCount, sizeof counts);
    card = r.StorageSD;
    net = r.NetConfigs;
    dns = r.DnsConfig;
    wlan = r.WlanConfigs;
    set_defaults(s);
    memcpy(r.RecordTime, lists, sizeof lists);
    memcpy(r.RecordCount, counts, sizeof counts);
    r.StorageSD = card;
    if (keep_network) {
        r.NetConfigs = net;
        r.DnsConfig = dns;
        r.WlanConfigs = wlan;
    }
}

void reset_live(Store& s) {
    BUFFER_ENCODE_T& r = *s.rec;
    r.JPGSnapLen = 0;
    r.total_http_sessions = r.total_rtsp_sessions = 0;
    memset(r.RecordTrigger, 0, sizeof r.RecordTrigger);
    s.mark(&r.JPGSnapLen, sizeof r.JPGSnapLen);
    s.mark(&r.total_http_sessions, 2 * sizeof r.total_http_sessions);
    s.mark(r.RecordTrigger, sizeof r.RecordTrigger);
}

int record_count(const BUFFER_ENCODE_T& r, int channel, bool* damaged) {
    if (damaged) *damaged = false;
    if (channel < 0 || channel >= 4) return 0;
    int32_t n;
    memcpy(&n, &r.RecordCount[channel], sizeof n);
    if (n >= 0 && n <= kMaxRecords) return n;
    if (damaged) *damaged = true;
    return 0;
}

// ---- changes ----

void Changes::add(uint32_t offset, uint32_t length) {
    if (length == 0) return;
    uint32_t end = offset + length;
    // Swallow every range that touches the new one, then keep the union.
    for (int k = 0; k < count;) {
        const Span& o = span[k];
        if (o.offset <= end && offset <= o.offset + o.length) {
            end = end > o.offset + o.length ? end : o.offset + o.length;
            offset = offset < o.offset ? offset : o.offset;
            span[k] = span[--count];
        } else {
            ++k;
        }
    }
    if (count == kMax) {
        for (int k = 0; k < count; ++k) {
            end = end > span[k].offset + span[k].length ? end : span[k].offset + span[k].length;
            offset = offset < span[k].offset ? offset : span[k].offset;
        }
        count = 0;
    }
    span[count++] = {offset, end - offset};
}

uint64_t Changes::bytes() const {
    uint64_t n = 0;
    for (int k = 0; k < count; ++k) n += span[k].length;
    return n;
}

void Store::mark(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    const auto* rec_at = reinterpret_cast<const unsigned char*>(rec);
    const auto* extra_at = reinterpret_cast<const unsigned char*>(&extra);
    if (b >= rec_at && b + n <= rec_at + kRecordSize) {
        changed.add(static_cast<uint32_t>(b - rec_at), static_cast<uint32_t>(n));
    } else if (b >= extra_at && b + n <= extra_at + sizeof extra) {
        changed.add(kRecordSize + static_cast<uint32_t>(b - extra_at), static_cast<uint32_t>(n));
    } else {
        // A caller's bug: a write outside the kept image. Keep it all rather
        // than miss what it changed.
        mark_all();
    }
}

void Store::read_image(uint32_t offset, void* bytes, uint32_t n) const {
    auto* out = static_cast<unsigned char*>(bytes);
    if (offset < kRecordSize) {
        const uint32_t part = n < kRecordSize - offset ? n : kRecordSize - offset;
        memcpy(out, reinterpret_cast<const unsigned char*>(rec) + offset, part);
        out += part, offset += part, n -= part;
    }
    if (n) memcpy(out, reinterpret_cast<const unsigned char*>(&extra) + (offset - kRecordSize), n);
}

void Store::write_image(uint32_t offset, const void* bytes, uint32_t n) {
    const auto* in = static_cast<const unsigned char*>(bytes);
    if (offset < kRecordSize) {
        const uint32_t part = n < kRecordSize - offset ? n : kRecordSize - offset;
        memcpy(reinterpret_cast<unsigned char*>(rec) + offset, in, part);
        in += part, offset += part, n -= part;
    }
    if (n) memcpy(reinterpret_cast<unsigned char*>(&extra) + (offset - kRecordSize), in, n);
}

}  // namespace apisim
