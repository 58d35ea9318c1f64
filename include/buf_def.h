/*
 * buf_def.h - the shared camera state record BUFFER_ENCODE_T.
 *
 * The encoder side publishes the camera's live state in shared memory: the
 * last encoded frames and their index, the last JPEG snapshot, and the
 * settings records of every area.  Every process that maps the record must
 * agree on each offset, so all fields use fixed-width types (identical layout
 * on the 32-bit MIPS target and on 64-bit hosts) and every offset and size is
 * checked at compile time under its record.
 */
#ifndef BUF_DEF_H
#define BUF_DEF_H

#include <stddef.h>
#include <stdint.h>

#include "layout_check.h"
#include "setting.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Encoder and image settings of one video channel. */
typedef struct {
    int32_t Compression;
    int32_t Resolution;
    int32_t FrameRate;
    int32_t PIRatio;
    int32_t MPEG4Encode;
    int32_t CameraType;
    int32_t MJPGEncode;
    int32_t MJPEGQuality;
    int32_t Brightness;
    int32_t Contrast;
    int32_t Saturation;
    int32_t Hue;
    int32_t DeinterlaceMode;
    int32_t DeinterlaceLevel;
    int32_t QP_I;
    int32_t QP_P;
    int32_t Frequency;
} VIDEO_CONFIG;

LAYOUT_SIZE(VIDEO_CONFIG, 68);
LAYOUT_FIELD(VIDEO_CONFIG, Compression,       0, 4);
LAYOUT_FIELD(VIDEO_CONFIG, Resolution,        4, 4);
LAYOUT_FIELD(VIDEO_CONFIG, FrameRate,         8, 4);
LAYOUT_FIELD(VIDEO_CONFIG, PIRatio,          12, 4);
LAYOUT_FIELD(VIDEO_CONFIG, MPEG4Encode,      16, 4);
LAYOUT_FIELD(VIDEO_CONFIG, CameraType,       20, 4);
LAYOUT_FIELD(VIDEO_CONFIG, MJPGEncode,       24, 4);
LAYOUT_FIELD(VIDEO_CONFIG, MJPEGQuality,     28, 4);
LAYOUT_FIELD(VIDEO_CONFIG, Brightness,       32, 4);
LAYOUT_FIELD(VIDEO_CONFIG, Contrast,         36, 4);
LAYOUT_FIELD(VIDEO_CONFIG, Saturation,       40, 4);
LAYOUT_FIELD(VIDEO_CONFIG, Hue,              44, 4);
LAYOUT_FIELD(VIDEO_CONFIG, DeinterlaceMode,  48, 4);
LAYOUT_FIELD(VIDEO_CONFIG, DeinterlaceLevel, 52, 4);
LAYOUT_FIELD(VIDEO_CONFIG, QP_I,             56, 4);
LAYOUT_FIELD(VIDEO_CONFIG, QP_P,             60, 4);
LAYOUT_FIELD(VIDEO_CONFIG, Frequency,        64, 4);

/* Audio encoding switch of one channel. */
typedef struct {
    int32_t AudioEncode;
} AUDIO_CONFIG;

LAYOUT_SIZE(AUDIO_CONFIG, 4);
LAYOUT_FIELD(AUDIO_CONFIG, AudioEncode, 0, 4);

/* Index entry of one encoded frame held in TotalBuffer. */
typedef struct FRAME_T {
    int32_t Type;
    int32_t Length;
    int32_t MagicNumber;
    int32_t NextFrameNumber;
    int32_t Channel;
    int32_t FrameDataNumber;
    int32_t WasteBytes;
} FRAME_T;

LAYOUT_SIZE(FRAME_T, 28);
LAYOUT_FIELD(FRAME_T, Type,             0, 4);
LAYOUT_FIELD(FRAME_T, Length,           4, 4);
LAYOUT_FIELD(FRAME_T, MagicNumber,      8, 4);
LAYOUT_FIELD(FRAME_T, NextFrameNumber, 12, 4);
LAYOUT_FIELD(FRAME_T, Channel,         16, 4);
LAYOUT_FIELD(FRAME_T, FrameDataNumber, 20, 4);
LAYOUT_FIELD(FRAME_T, WasteBytes,      24, 4);

/* Motion detection settings of one channel, with its 48-byte mask. */
typedef struct {
    int32_t Mode;
    int32_t Sensitivity;
    unsigned char Mask[48];
    int32_t Size;
    int32_t Enable;
    int32_t CmpMode;
    int32_t MultiBase;
    int32_t Accuracy;
    int32_t SingleBase;
} MOTION_CONFIG;

LAYOUT_SIZE(MOTION_CONFIG, 80);
LAYOUT_FIELD(MOTION_CONFIG, Mode,         0,  4);
LAYOUT_FIELD(MOTION_CONFIG, Sensitivity,  4,  4);
LAYOUT_FIELD(MOTION_CONFIG, Mask,         8, 48);
LAYOUT_FIELD(MOTION_CONFIG, Size,        56,  4);
LAYOUT_FIELD(MOTION_CONFIG, Enable,      60,  4);
LAYOUT_FIELD(MOTION_CONFIG, CmpMode,     64,  4);
LAYOUT_FIELD(MOTION_CONFIG, MultiBase,   68,  4);
LAYOUT_FIELD(MOTION_CONFIG, Accuracy,    72,  4);
LAYOUT_FIELD(MOTION_CONFIG, SingleBase,  76,  4);

/* I/O line values and status, and the motion-to-input action. */
typedef struct {
    int32_t GPIO29Value;
    int32_t GPIO30Value;
    int32_t GPIOOutStatus;
    int32_t GPIOInStatus;
    int32_t OUTLeveltime;
    int32_t MotionGpioinAction;
} QUORL_CONFIG;

LAYOUT_SIZE(QUORL_CONFIG, 24);
LAYOUT_FIELD(QUORL_CONFIG, GPIO29Value,         0, 4);
LAYOUT_FIELD(QUORL_CONFIG, GPIO30Value,         4, 4);
LAYOUT_FIELD(QUORL_CONFIG, GPIOOutStatus,       8, 4);
LAYOUT_FIELD(QUORL_CONFIG, GPIOInStatus,       12, 4);
LAYOUT_FIELD(QUORL_CONFIG, OUTLeveltime,       16, 4);
LAYOUT_FIELD(QUORL_CONFIG, MotionGpioinAction, 20, 4);

/* Wired network: configured and live addresses, MAC, DHCP and UPnP switches. */
typedef struct {
    char ipaddr[32];
    char netmask[32];
    char gateway[32];
    char real_ipaddr[32];
    char real_netmask[32];
    char real_gateway[32];
    char real_dns[32];
    char mac[32];
    int32_t en_dhcp;
    int32_t en_upnp;
    int32_t upnp_status;
    int32_t UsedInterface;
} NET_CONFIG;

LAYOUT_SIZE(NET_CONFIG, 272);
LAYOUT_FIELD(NET_CONFIG, ipaddr,          0, 32);
LAYOUT_FIELD(NET_CONFIG, netmask,        32, 32);
LAYOUT_FIELD(NET_CONFIG, gateway,        64, 32);
LAYOUT_FIELD(NET_CONFIG, real_ipaddr,    96, 32);
LAYOUT_FIELD(NET_CONFIG, real_netmask,  128, 32);
LAYOUT_FIELD(NET_CONFIG, real_gateway,  160, 32);
LAYOUT_FIELD(NET_CONFIG, real_dns,      192, 32);
LAYOUT_FIELD(NET_CONFIG, mac,           224, 32);
LAYOUT_FIELD(NET_CONFIG, en_dhcp,       256,  4);
LAYOUT_FIELD(NET_CONFIG, en_upnp,       260,  4);
LAYOUT_FIELD(NET_CONFIG, upnp_status,   264,  4);
LAYOUT_FIELD(NET_CONFIG, UsedInterface, 268,  4);

/* Mail server, sender, recipient, login and the mail test state. */
typedef struct {
    char smtpServer[128];
    char mailFrom[128];
    char mailTo[128];
    char authUser[128];
    char authPass[128];
    int32_t smtpAuth;
    int32_t smtpSSL;
    int32_t smtpport;
    int32_t start_test;
    int32_t test_result;
} SMTP_CONFIG;

LAYOUT_SIZE(SMTP_CONFIG, 660);
LAYOUT_FIELD(SMTP_CONFIG, smtpServer,    0, 128);
LAYOUT_FIELD(SMTP_CONFIG, mailFrom,    128, 128);
LAYOUT_FIELD(SMTP_CONFIG, mailTo,      256, 128);
LAYOUT_FIELD(SMTP_CONFIG, authUser,    384, 128);
LAYOUT_FIELD(SMTP_CONFIG, authPass,    512, 128);
LAYOUT_FIELD(SMTP_CONFIG, smtpAuth,    640,   4);
LAYOUT_FIELD(SMTP_CONFIG, smtpSSL,     644,   4);
LAYOUT_FIELD(SMTP_CONFIG, smtpport,    648,   4);
LAYOUT_FIELD(SMTP_CONFIG, start_test,  652,   4);
LAYOUT_FIELD(SMTP_CONFIG, test_result, 656,   4);

/* FTP upload server, login, path, port, passive mode and the upload test state. */
typedef struct {
    char server[128];
    char user[128];
    char pass[128];
    char uploadPath[128];
    int32_t port;
    int32_t passive;
    int32_t start_test;
    int32_t test_result;
} FTP_CONFIG;

LAYOUT_SIZE(FTP_CONFIG, 528);
LAYOUT_FIELD(FTP_CONFIG, server,        0, 128);
LAYOUT_FIELD(FTP_CONFIG, user,        128, 128);
LAYOUT_FIELD(FTP_CONFIG, pass,        256, 128);
LAYOUT_FIELD(FTP_CONFIG, uploadPath,  384, 128);
LAYOUT_FIELD(FTP_CONFIG, port,        512,   4);
LAYOUT_FIELD(FTP_CONFIG, passive,     516,   4);
LAYOUT_FIELD(FTP_CONFIG, start_test,  520,   4);
LAYOUT_FIELD(FTP_CONFIG, test_result, 524,   4);

/* Dynamic DNS provider type, host name, login and server. */
typedef struct {
    int32_t type;
    char host[64];
    char user[64];
    char pass[64];
    char server[64];
    int32_t server_port;
} DDNS_CONFIG;

LAYOUT_SIZE(DDNS_CONFIG, 264);
LAYOUT_FIELD(DDNS_CONFIG, type,          0,  4);
LAYOUT_FIELD(DDNS_CONFIG, host,          4, 64);
LAYOUT_FIELD(DDNS_CONFIG, user,         68, 64);
LAYOUT_FIELD(DDNS_CONFIG, pass,        132, 64);
LAYOUT_FIELD(DDNS_CONFIG, server,      196, 64);
LAYOUT_FIELD(DDNS_CONFIG, server_port, 260,  4);

/* The two name server addresses. */
typedef struct {
    char dns[2][128];
} DNS_CONFIG;

LAYOUT_SIZE(DNS_CONFIG, 256);
LAYOUT_FIELD(DNS_CONFIG, dns, 0, 256);

/* Wireless LAN: addresses, mode, channel, security keys, SSID and DHCP. */
typedef struct {
    char ipaddr[128];
    char netmask[128];
    char gateway[128];
    char mode[128];
    int32_t channel;
    int32_t type;
    int32_t reg;
    int32_t rate;
    char auth[128];
    char enc[128];
    int32_t defaultkey;
    char key1[128];
    char key2[128];
    char key3[128];
    char key4[128];
    char wpakey[128];
    char ssid[128];
    int32_t en_dhcp;
    int32_t defroute;
} WLAN_CONFIG;

LAYOUT_SIZE(WLAN_CONFIG, 1564);
LAYOUT_FIELD(WLAN_CONFIG, ipaddr,        0, 128);
LAYOUT_FIELD(WLAN_CONFIG, netmask,     128, 128);
LAYOUT_FIELD(WLAN_CONFIG, gateway,     256, 128);
LAYOUT_FIELD(WLAN_CONFIG, mode,        384, 128);
LAYOUT_FIELD(WLAN_CONFIG, channel,     512,   4);
LAYOUT_FIELD(WLAN_CONFIG, type,        516,   4);
LAYOUT_FIELD(WLAN_CONFIG, reg,         520,   4);
LAYOUT_FIELD(WLAN_CONFIG, rate,        524,   4);
LAYOUT_FIELD(WLAN_CONFIG, auth,        528, 128);
LAYOUT_FIELD(WLAN_CONFIG, enc,         656, 128);
LAYOUT_FIELD(WLAN_CONFIG, defaultkey,  784,   4);
LAYOUT_FIELD(WLAN_CONFIG, key1,        788, 128);
LAYOUT_FIELD(WLAN_CONFIG, key2,        916, 128);
LAYOUT_FIELD(WLAN_CONFIG, key3,       1044, 128);
LAYOUT_FIELD(WLAN_CONFIG, key4,       1172, 128);
LAYOUT_FIELD(WLAN_CONFIG, wpakey,     1300, 128);
LAYOUT_FIELD(WLAN_CONFIG, ssid,       1428, 128);
LAYOUT_FIELD(WLAN_CONFIG, en_dhcp,    1556,   4);
LAYOUT_FIELD(WLAN_CONFIG, defroute,   1560,   4);

/* PPPoE and VPN switches, logins and server. */
typedef struct {
    int32_t enable;
    int32_t notify_enabled;
    int32_t vpnenable;
    int32_t vpnencryption;
    int32_t vpnmask;
    char pppoeroad[8];
    char user[128];
    char pass[128];
    char mtu[128];
    char vpnuser[128];
    char vpnpwd[128];
    char vpnserv[128];
} PPP_CONFIG;

LAYOUT_SIZE(PPP_CONFIG, 796);
LAYOUT_FIELD(PPP_CONFIG, enable,           0,   4);
LAYOUT_FIELD(PPP_CONFIG, notify_enabled,   4,   4);
LAYOUT_FIELD(PPP_CONFIG, vpnenable,        8,   4);
LAYOUT_FIELD(PPP_CONFIG, vpnencryption,   12,   4);
LAYOUT_FIELD(PPP_CONFIG, vpnmask,         16,   4);
LAYOUT_FIELD(PPP_CONFIG, pppoeroad,       20,   8);
LAYOUT_FIELD(PPP_CONFIG, user,            28, 128);
LAYOUT_FIELD(PPP_CONFIG, pass,           156, 128);
LAYOUT_FIELD(PPP_CONFIG, mtu,            284, 128);
LAYOUT_FIELD(PPP_CONFIG, vpnuser,        412, 128);
LAYOUT_FIELD(PPP_CONFIG, vpnpwd,         540, 128);
LAYOUT_FIELD(PPP_CONFIG, vpnserv,        668, 128);

/* Per-line I/O direction, default output, alarm level and action; motion action. */
typedef struct {
    int32_t GPIODirection[10];
    int32_t GPIODefaultValueOut[10];
    int32_t GPIOAlarmLevel[10];
    int32_t GPIOAlarmAction[10];
    int32_t MotionDetectAction;
} ALARM_CONFIG;

LAYOUT_SIZE(ALARM_CONFIG, 164);
LAYOUT_FIELD(ALARM_CONFIG, GPIODirection,         0, 40);
LAYOUT_FIELD(ALARM_CONFIG, GPIODefaultValueOut,  40, 40);
LAYOUT_FIELD(ALARM_CONFIG, GPIOAlarmLevel,       80, 40);
LAYOUT_FIELD(ALARM_CONFIG, GPIOAlarmAction,     120, 40);
LAYOUT_FIELD(ALARM_CONFIG, MotionDetectAction,  160,  4);

/* One motion region: in-use flag and its two corners (Lx, Ly) and (Rx, Ry). */
typedef struct {
    int32_t Use;
    int32_t Lx;
    int32_t Ly;
    int32_t Rx;
    int32_t Ry;
} TypeCoordinate;

LAYOUT_SIZE(TypeCoordinate, 20);
LAYOUT_FIELD(TypeCoordinate, Use,  0, 4);
LAYOUT_FIELD(TypeCoordinate, Lx,   4, 4);
LAYOUT_FIELD(TypeCoordinate, Ly,   8, 4);
LAYOUT_FIELD(TypeCoordinate, Rx,  12, 4);
LAYOUT_FIELD(TypeCoordinate, Ry,  16, 4);

/* Motion regions: 4 channels of 16 regions. */
typedef struct {
    TypeCoordinate Region[4][16];
} EVENT_CHANNEL_CONFIG;

LAYOUT_SIZE(EVENT_CHANNEL_CONFIG, 1280);
LAYOUT_FIELD(EVENT_CHANNEL_CONFIG, Region, 0, 1280);

/* Pixels cut off left and right at each frame size. */
typedef struct {
    int32_t D1Left;
    int32_t D1Right;
    int32_t FieldLeft;
    int32_t FieldRight;
    int32_t CifLeft;
    int32_t CifRight;
    int32_t QcifLeft;
    int32_t QcifRight;
} CUTPIXEL;

LAYOUT_SIZE(CUTPIXEL, 32);
LAYOUT_FIELD(CUTPIXEL, D1Left,      0, 4);
LAYOUT_FIELD(CUTPIXEL, D1Right,     4, 4);
LAYOUT_FIELD(CUTPIXEL, FieldLeft,   8, 4);
LAYOUT_FIELD(CUTPIXEL, FieldRight, 12, 4);
LAYOUT_FIELD(CUTPIXEL, CifLeft,    16, 4);
LAYOUT_FIELD(CUTPIXEL, CifRight,   20, 4);
LAYOUT_FIELD(CUTPIXEL, QcifLeft,   24, 4);
LAYOUT_FIELD(CUTPIXEL, QcifRight,  28, 4);

/* Camera name, snapshot and recording labels, audio volume and on-screen text. */
typedef struct {
    char CameraName[128];
    char SnapShotPath[128];
    int32_t SnapShotTimeLabel;
    int32_t SnapShotLableColor;
    int32_t AudioVolume;
    char RecPath[128];
    int32_t RecDucTime;
    int32_t RecTimeLabel;
    int32_t RecLabelColor;
    int32_t OSDEnable;
    char OSDText[128];
    int32_t OSDCoordX;
    int32_t OSDCoordY;
    int32_t OSDColor;
    int32_t OSDFontSize;
    CUTPIXEL CutPixel;
} VELDA_CONFIG;

LAYOUT_SIZE(VELDA_CONFIG, 588);
LAYOUT_FIELD(VELDA_CONFIG, CameraName,           0, 128);
LAYOUT_FIELD(VELDA_CONFIG, SnapShotPath,       128, 128);
LAYOUT_FIELD(VELDA_CONFIG, SnapShotTimeLabel,  256,   4);
LAYOUT_FIELD(VELDA_CONFIG, SnapShotLableColor, 260,   4);
LAYOUT_FIELD(VELDA_CONFIG, AudioVolume,        264,   4);
LAYOUT_FIELD(VELDA_CONFIG, RecPath,            268, 128);
LAYOUT_FIELD(VELDA_CONFIG, RecDucTime,         396,   4);
LAYOUT_FIELD(VELDA_CONFIG, RecTimeLabel,       400,   4);
LAYOUT_FIELD(VELDA_CONFIG, RecLabelColor,      404,   4);
LAYOUT_FIELD(VELDA_CONFIG, OSDEnable,          408,   4);
LAYOUT_FIELD(VELDA_CONFIG, OSDText,            412, 128);
LAYOUT_FIELD(VELDA_CONFIG, OSDCoordX,          540,   4);
LAYOUT_FIELD(VELDA_CONFIG, OSDCoordY,          544,   4);
LAYOUT_FIELD(VELDA_CONFIG, OSDColor,           548,   4);
LAYOUT_FIELD(VELDA_CONFIG, OSDFontSize,        552,   4);
LAYOUT_FIELD(VELDA_CONFIG, CutPixel,           556,  32);

/* One user account: name, password text and access level. */
typedef struct {
    char name[128];
    char password[128];
    int32_t level;
} USER_ENTRY_T;

LAYOUT_SIZE(USER_ENTRY_T, 260);
LAYOUT_FIELD(USER_ENTRY_T, name,       0, 128);
LAYOUT_FIELD(USER_ENTRY_T, password, 128, 128);
LAYOUT_FIELD(USER_ENTRY_T, level,    256,   4);

/* The ten user accounts. */
typedef struct {
    USER_ENTRY_T entry[10];
} USER_CONFIG;

LAYOUT_SIZE(USER_CONFIG, 2600);
LAYOUT_FIELD(USER_CONFIG, entry, 0, 2600);

/* Web server port. */
typedef struct {
    int32_t port;
} THTTPD_CONFIG;

LAYOUT_SIZE(THTTPD_CONFIG, 4);
LAYOUT_FIELD(THTTPD_CONFIG, port, 0, 4);

/* Pan/tilt protocol, line speed, address, speed, pan direction and status. */
typedef struct {
    int32_t protocal;
    int32_t baudrate;
    int32_t address;
    int32_t speed;
    int32_t pan_dir;
    int32_t status;
} PTZ_CONFIG;

LAYOUT_SIZE(PTZ_CONFIG, 24);
LAYOUT_FIELD(PTZ_CONFIG, protocal,  0, 4);
LAYOUT_FIELD(PTZ_CONFIG, baudrate,  4, 4);
LAYOUT_FIELD(PTZ_CONFIG, address,   8, 4);
LAYOUT_FIELD(PTZ_CONFIG, speed,    12, 4);
LAYOUT_FIELD(PTZ_CONFIG, pan_dir,  16, 4);
LAYOUT_FIELD(PTZ_CONFIG, status,   20, 4);

/* RTSP and RTP ports. */
typedef struct {
    int32_t RtspPort;
    int32_t RtpPort;
} RTSP_CONFIG;

LAYOUT_SIZE(RTSP_CONFIG, 8);
LAYOUT_FIELD(RTSP_CONFIG, RtspPort, 0, 4);
LAYOUT_FIELD(RTSP_CONFIG, RtpPort,  4, 4);

/* 3G modem switch. */
typedef struct {
    int32_t Enable;
} G3_CONFIG;

LAYOUT_SIZE(G3_CONFIG, 4);
LAYOUT_FIELD(G3_CONFIG, Enable, 0, 4);

/* Mapping service: server, search result and mapping status text. */
typedef struct {
    char linkwayServer[128];
    int32_t searched;
    char mapStatus[128];
} LINKWAY_STATUS;

LAYOUT_SIZE(LINKWAY_STATUS, 260);
LAYOUT_FIELD(LINKWAY_STATUS, linkwayServer,   0, 128);
LAYOUT_FIELD(LINKWAY_STATUS, searched,      128,   4);
LAYOUT_FIELD(LINKWAY_STATUS, mapStatus,     132, 128);

/* One pan/tilt preset position. */
typedef struct {
    int32_t count;
    int32_t A;
    int32_t B;
} POSITION_T;

LAYOUT_SIZE(POSITION_T, 12);
LAYOUT_FIELD(POSITION_T, count, 0, 4);
LAYOUT_FIELD(POSITION_T, A,     4, 4);
LAYOUT_FIELD(POSITION_T, B,     8, 4);

/* Recording type per channel, recording channel, hourly schedule and duration rows. */
typedef struct {
    int32_t RecordType[4];
    int32_t RecordChannel;
    int32_t RecordSchedule[4][24];
    int32_t RecordDuration[4][24];
    int32_t RecordPreOSD;
} STORAGE_CONFIG_T;

LAYOUT_SIZE(STORAGE_CONFIG_T, 792);
LAYOUT_FIELD(STORAGE_CONFIG_T, RecordType,       0,  16);
LAYOUT_FIELD(STORAGE_CONFIG_T, RecordChannel,   16,   4);
LAYOUT_FIELD(STORAGE_CONFIG_T, RecordSchedule,  20, 384);
LAYOUT_FIELD(STORAGE_CONFIG_T, RecordDuration, 404, 384);
LAYOUT_FIELD(STORAGE_CONFIG_T, RecordPreOSD,   788,   4);

/* Constant bit rate switch and byte rate of one channel. */
typedef struct {
    int32_t CBREnable;
    int32_t CBRByteRate;
} CBR_CONFIG_T;

LAYOUT_SIZE(CBR_CONFIG_T, 8);
LAYOUT_FIELD(CBR_CONFIG_T, CBREnable,   0, 4);
LAYOUT_FIELD(CBR_CONFIG_T, CBRByteRate, 4, 4);

/* Multi-camera device list and shown-device list texts. */
typedef struct {
    char devecelist[1024];
    char deviceshowlist[1024];
} MULTI_CONFIG;

LAYOUT_SIZE(MULTI_CONFIG, 2048);
LAYOUT_FIELD(MULTI_CONFIG, devecelist,        0, 1024);
LAYOUT_FIELD(MULTI_CONFIG, deviceshowlist, 1024, 1024);

/* SD card type, sizes, event and write counters, event times and lock. */
typedef struct {
    int32_t Sdtype;
    int32_t SdSize;
    int32_t SdUseSize;
    int32_t SdEventCount;
    int32_t SdWriteCount;
    int32_t SdPreEventTime;
    int32_t SdLastEventTime;
    int32_t RdWriteStatus;
    int32_t Sdlock;
} STORAGE_SD_STAUS;

LAYOUT_SIZE(STORAGE_SD_STAUS, 36);
LAYOUT_FIELD(STORAGE_SD_STAUS, Sdtype,           0, 4);
LAYOUT_FIELD(STORAGE_SD_STAUS, SdSize,           4, 4);
LAYOUT_FIELD(STORAGE_SD_STAUS, SdUseSize,        8, 4);
LAYOUT_FIELD(STORAGE_SD_STAUS, SdEventCount,    12, 4);
LAYOUT_FIELD(STORAGE_SD_STAUS, SdWriteCount,    16, 4);
LAYOUT_FIELD(STORAGE_SD_STAUS, SdPreEventTime,  20, 4);
LAYOUT_FIELD(STORAGE_SD_STAUS, SdLastEventTime, 24, 4);
LAYOUT_FIELD(STORAGE_SD_STAUS, RdWriteStatus,   28, 4);
LAYOUT_FIELD(STORAGE_SD_STAUS, Sdlock,          32, 4);

/* Camera-wide values: wireless switch, SD control, code settings, alarm sound, process name. */
typedef struct {
    int32_t wlswitch;
    int32_t sdcontrol;
    int32_t sdprestop;
    int32_t codetype;
    int32_t alarmsoundflags;
    int32_t coderesolution;
    int32_t lanalarm;
    int32_t codehave;
    int32_t recodeav;
    char codeservip[32];
    char procename[32];
} NEWADD_T;

LAYOUT_SIZE(NEWADD_T, 100);
LAYOUT_FIELD(NEWADD_T, wlswitch,         0,  4);
LAYOUT_FIELD(NEWADD_T, sdcontrol,        4,  4);
LAYOUT_FIELD(NEWADD_T, sdprestop,        8,  4);
LAYOUT_FIELD(NEWADD_T, codetype,        12,  4);
LAYOUT_FIELD(NEWADD_T, alarmsoundflags, 16,  4);
LAYOUT_FIELD(NEWADD_T, coderesolution,  20,  4);
LAYOUT_FIELD(NEWADD_T, lanalarm,        24,  4);
LAYOUT_FIELD(NEWADD_T, codehave,        28,  4);
LAYOUT_FIELD(NEWADD_T, recodeav,        32,  4);
LAYOUT_FIELD(NEWADD_T, codeservip,      36, 32);
LAYOUT_FIELD(NEWADD_T, procename,       68, 32);

/*
 * A struct timeval as the 32-bit target lays it out: two signed 32-bit
 * fields, so the record does not change on hosts with a 16-byte timeval.
 */
typedef struct {
    int32_t tv_sec;
    int32_t tv_usec;
} TIMEVAL32_T;

LAYOUT_SIZE(TIMEVAL32_T, 8);
LAYOUT_FIELD(TIMEVAL32_T, tv_sec,  0, 4);
LAYOUT_FIELD(TIMEVAL32_T, tv_usec, 4, 4);

/* The whole shared camera state: frames, snapshot and every settings record. */
typedef struct {
    VIDEO_CONFIG VideoConfig[4];
    AUDIO_CONFIG AudioConfig[4];
    struct FRAME_T Frame[15];
    int32_t BufferLength;
    char TotalBuffer[524288];
    int32_t FrameFirstNumber;
    int32_t FrameLastNumber;
    char VOL[4][35];
    char RawVOL[4][19];
    int32_t JPGSnapLen;
    char JPGBSnapBuffer[102400];
    MOTION_CONFIG MotionConfig[4];
    QUORL_CONFIG Quorl_config;
    int32_t total_http_sessions;
    int32_t total_rtsp_sessions;
    int32_t ActiveCfg;
    int32_t RecordTrigger[4];
    int32_t RecordTime[4][8192];
    int32_t RecordCount[4];
    int32_t ddns_state;
    TIMEVAL32_T t0;
    NET_CONFIG NetConfigs;
    SMTP_CONFIG SmtpConfigs;
    FTP_CONFIG FtpConfigs;
    DDNS_CONFIG DDNSConfigs;
    DDNS_CONFIG DDNSConfigsInner;
    DNS_CONFIG DnsConfig;
    WLAN_CONFIG WlanConfigs;
    PPP_CONFIG PPPConfigs;
    ALARM_CONFIG AlarmConfigs;
    EVENT_CHANNEL_CONFIG EventChannelConfigs;
    VELDA_CONFIG VeldaConfigs;
    USER_CONFIG UserConfigs;
    THTTPD_CONFIG ThttpdConfig;
    PTZ_CONFIG PtzConfigs;
    RTSP_CONFIG RtspConfigs;
    G3_CONFIG G3Configs;
    LINKWAY_STATUS LinkwayStatus;
    POSITION_T Pos[16];
    STRUCT_DEFAULT_T IPCAMConfig;
    int32_t Record;
    STORAGE_CONFIG_T StorageConfig;
    CBR_CONFIG_T CBRConfig[4];
    int32_t BufferEmpty;
    MULTI_CONFIG multi_config;
    int32_t gpio[10];
    int32_t ensnapshot;
    STORAGE_SD_STAUS StorageSD;
    NEWADD_T NewAddcfg;
    char MultiCamInfo[2048];
    int32_t test_flag;
    char SearchDevice[2048];
    int32_t enable_sync_flag;
    unsigned char alarm_schule[1024];
    int32_t alarm_flag;
    int32_t audio_start_flag;
    unsigned char wlan_ip[32];
} BUFFER_ENCODE_T;

LAYOUT_SIZE(BUFFER_ENCODE_T, 1072016);
LAYOUT_FIELD(BUFFER_ENCODE_T, VideoConfig,               0,    272);
LAYOUT_FIELD(BUFFER_ENCODE_T, AudioConfig,             272,     16);
LAYOUT_FIELD(BUFFER_ENCODE_T, Frame,                   288,    420);
LAYOUT_FIELD(BUFFER_ENCODE_T, BufferLength,            708,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, TotalBuffer,             712, 524288);
LAYOUT_FIELD(BUFFER_ENCODE_T, FrameFirstNumber,     525000,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, FrameLastNumber,      525004,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, VOL,                  525008,    140);
LAYOUT_FIELD(BUFFER_ENCODE_T, RawVOL,               525148,     76);
LAYOUT_FIELD(BUFFER_ENCODE_T, JPGSnapLen,           525224,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, JPGBSnapBuffer,       525228, 102400);
LAYOUT_FIELD(BUFFER_ENCODE_T, MotionConfig,         627628,    320);
LAYOUT_FIELD(BUFFER_ENCODE_T, Quorl_config,         627948,     24);
LAYOUT_FIELD(BUFFER_ENCODE_T, total_http_sessions,  627972,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, total_rtsp_sessions,  627976,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, ActiveCfg,            627980,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, RecordTrigger,        627984,     16);
LAYOUT_FIELD(BUFFER_ENCODE_T, RecordTime,           628000, 131072);
LAYOUT_FIELD(BUFFER_ENCODE_T, RecordCount,          759072,     16);
LAYOUT_FIELD(BUFFER_ENCODE_T, ddns_state,           759088,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, t0,                   759092,      8);
LAYOUT_FIELD(BUFFER_ENCODE_T, NetConfigs,           759100,    272);
LAYOUT_FIELD(BUFFER_ENCODE_T, SmtpConfigs,          759372,    660);
LAYOUT_FIELD(BUFFER_ENCODE_T, FtpConfigs,           760032,    528);
LAYOUT_FIELD(BUFFER_ENCODE_T, DDNSConfigs,          760560,    264);
LAYOUT_FIELD(BUFFER_ENCODE_T, DDNSConfigsInner,     760824,    264);
LAYOUT_FIELD(BUFFER_ENCODE_T, DnsConfig,            761088,    256);
LAYOUT_FIELD(BUFFER_ENCODE_T, WlanConfigs,          761344,   1564);
LAYOUT_FIELD(BUFFER_ENCODE_T, PPPConfigs,           762908,    796);
LAYOUT_FIELD(BUFFER_ENCODE_T, AlarmConfigs,         763704,    164);
LAYOUT_FIELD(BUFFER_ENCODE_T, EventChannelConfigs,  763868,   1280);
LAYOUT_FIELD(BUFFER_ENCODE_T, VeldaConfigs,         765148,    588);
LAYOUT_FIELD(BUFFER_ENCODE_T, UserConfigs,          765736,   2600);
LAYOUT_FIELD(BUFFER_ENCODE_T, ThttpdConfig,         768336,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, PtzConfigs,           768340,     24);
LAYOUT_FIELD(BUFFER_ENCODE_T, RtspConfigs,          768364,      8);
LAYOUT_FIELD(BUFFER_ENCODE_T, G3Configs,            768372,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, LinkwayStatus,        768376,    260);
LAYOUT_FIELD(BUFFER_ENCODE_T, Pos,                  768636,    192);
LAYOUT_FIELD(BUFFER_ENCODE_T, IPCAMConfig,          768828, 294960);
LAYOUT_FIELD(BUFFER_ENCODE_T, Record,              1063788,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, StorageConfig,       1063792,    792);
LAYOUT_FIELD(BUFFER_ENCODE_T, CBRConfig,           1064584,     32);
LAYOUT_FIELD(BUFFER_ENCODE_T, BufferEmpty,         1064616,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, multi_config,        1064620,   2048);
LAYOUT_FIELD(BUFFER_ENCODE_T, gpio,                1066668,     40);
LAYOUT_FIELD(BUFFER_ENCODE_T, ensnapshot,          1066708,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, StorageSD,           1066712,     36);
LAYOUT_FIELD(BUFFER_ENCODE_T, NewAddcfg,           1066748,    100);
LAYOUT_FIELD(BUFFER_ENCODE_T, MultiCamInfo,        1066848,   2048);
LAYOUT_FIELD(BUFFER_ENCODE_T, test_flag,           1068896,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, SearchDevice,        1068900,   2048);
LAYOUT_FIELD(BUFFER_ENCODE_T, enable_sync_flag,    1070948,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, alarm_schule,        1070952,   1024);
LAYOUT_FIELD(BUFFER_ENCODE_T, alarm_flag,          1071976,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, audio_start_flag,    1071980,      4);
LAYOUT_FIELD(BUFFER_ENCODE_T, wlan_ip,             1071984,     32);

#ifdef __cplusplus
}
#endif

#endif /* BUF_DEF_H */
