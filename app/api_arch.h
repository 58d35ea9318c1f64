/* libapi_arch: the camera's configuration and control API.
 *
 * Nearly every function is one request/reply transaction with the camera's
 * control daemon; it blocks until the daemon answers. Unless a section says
 * otherwise:
 *   - a set returns 1 when the daemon answered and 0 on failure;
 *   - a get of a value returns the value, or -1 on failure (a stored -1 looks
 *     the same);
 *   - a get that fills a caller's buffer returns 0, or -1; on failure the
 *     buffer is left untouched. A text buffer must hold the daemon's field,
 *     whose size is given beside the function.
 * A null pointer where a function reads or writes the caller's memory fails
 * the call before anything is sent.
 */
#ifndef API_ARCH_H
#define API_ARCH_H

#include "buf_def.h"
#include "init_ipc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ==========================================================================
 * IPC objects and locks
 * Openers return the identifier or -1; they create the object on first use.
 * The wait and post functions always return 0.
 * ========================================================================== */
int MsgControlInit(void);
int MsgResponseInit(void);
int MsgEventInit(void);
int SemAPIInit(void);
int SemAPIGet(int SemAPIID);
int SemAPIPost(int SemAPIID);
int SemSnapShotInit(void);
int SemSnapShotGet(int SemID);
int SemSnapShotPost(int SemID);
int SemMotionHandleInit(void);
int SemMotionHandleGet(int SemID);
int SemMotionHandlePost(int SemID);

/* ==========================================================================
 * Video encoder and image settings
 * ========================================================================== */
/* Per-channel settings of one byte each (codes are the daemon's); gets return 0..255. */
int API_Video_SetCompression(unsigned char channel, unsigned char compression);
int API_Video_GetCompression(unsigned char channel);
int API_Video_SetResolution(unsigned char channel, unsigned char FrameSize);
int API_Video_GetResolution(unsigned char channel);
int API_Video_SetFrameRate(unsigned char channel, unsigned char FrameRate);
int API_Video_GetFrameRate(unsigned char channel);
int API_Video_SetMPEG4Encode(unsigned char channel, unsigned char flag);
int API_Video_GetMPEG4Encode(unsigned char channel);
int API_Video_SetCameraType(unsigned char channel, unsigned char CameraType);
int API_Video_GetCameraType(unsigned char channel);
int API_Audio_SetADPCMEncode(unsigned char channel, unsigned char flag);
int API_Audio_GetADPCMEncode(unsigned char channel);
int API_Video_SetMJPGEncode(unsigned char channel, unsigned char flag);
int API_Video_GetMJPGEncode(unsigned char channel);
int API_Video_SetMJPGQuality(unsigned char channel, unsigned char flag);
int API_Video_GetMJPGQuality(unsigned char channel);
int API_Video_SetCBREnable(unsigned char channel, unsigned char Enable);
int API_Video_GetCBREnable(unsigned char channel);

/* P/I ratio; the get prints a trace line on standard output when the daemon answered. */
int API_Video_SetPIRatio(unsigned char channel, int PIRatio);
int API_Video_GetPIRatio(unsigned char channel);

/* Image adjustment, 0..255 each. */
int API_Video_SetBrightness(unsigned char channel, unsigned char Brightness);
int API_Video_GetBrightness(unsigned char channel);
int API_Video_SetContrast(unsigned char channel, unsigned char Contrast);
int API_Video_GetContrast(unsigned char channel);
int API_Video_SetSaturation(unsigned char channel, unsigned char Saturation);
int API_Video_GetSaturation(unsigned char channel);
int API_Video_SetHue(unsigned char channel, unsigned char Hue);
int API_Video_GetHue(unsigned char channel);

/* De-interlacing: the get returns the mode and stores the level into *level. */
int API_Video_SetDeinterlace(unsigned char channel, unsigned char Mode, unsigned char Level);
int API_Video_GetDeinterlace(unsigned char channel, unsigned char* level);

/* Cut-pixel values, selected by type. */
int API_Video_GetCutPixel(int type);
int API_Video_SetCutPixel(int type, int Pixel);

/* I-frame reset request to the encoder. */
int API_Video_SetIReset(void);

/* Constant bit rate and quantisers; API_Video_GetQP returns 1 and stores each number the daemon gave. */
int API_Video_SetCBRByteRate(int channel, int ByteRate);
int API_Video_GetCBRByteRate(int Channel);
int API_Video_SetQP(unsigned char channel, unsigned char QP_I, unsigned char QP_P);
int API_Video_GetQP(unsigned char channel, unsigned char* QP_I, unsigned char* QP_P);

/* Mains frequency setting. */
int API_Video_SetFrequency(unsigned char channel, unsigned char frequency);
int API_Video_GetFrequency(unsigned char channel);

/* Camera-wide encoder values; API_Video_SetCoderesolution returns -1 on failure. */
int API_Video_GetCodetype(void);
int API_Video_SetCodetype(int type);
int API_Video_GetAlarmSoundflags(void);
int API_Video_SetAlarmSoundflags(int type);
int API_Video_GetCoderesolution(void);
int API_Video_SetCoderesolution(int type);
int API_Video_GetRecordav(void);
int API_Video_SetRecordav(int type);

/* Encoder server address (a 32-byte field); the set returns 1, or -1 on failure. */
int API_Video_GetCodeservip(char* ip);
int API_Video_SetCodeservip(char* ip);

/* Frame sizes (width, height) in pixels, for the camera's programs; the last row is (0, 0). */
extern int MORIK_SIZE_T[10][2];

/* ==========================================================================
 * JPEG snapshot
 * ========================================================================== */
/* The shared camera state record; the loading program (or a library loaded
 * into it) defines this pointer. Without it the snapshot copies nothing. */
extern BUFFER_ENCODE_T *BufferEncode;

/* Asks the daemon for a fresh snapshot of the channel and copies it into
 * Buffer (room for 102400 bytes); returns the byte count, 0 on failure. */
int API_Video_SetJPGSnapShot(unsigned char channel, unsigned char* Buffer);

/* Snapshot action value (one byte). */
int API_Set_SnapShot(int action);
int API_Get_SnapShot(void);

/* ==========================================================================
 * Interface status (from the kernel)
 * Live values, no daemon, no lock. A failure writes one line "Error in <step>"
 * on standard error. Names have at most 15 characters: a longer one is
 * listed by no interface, and a query of its address, netmask or MAC fails
 * with -1. Address buffers hold 32 bytes, the MAC text 18.
 * ========================================================================== */
/* 1 when a listed interface whose name contains inter has a non-zero flags
 * word, 0 when none has, -1 on failure. */
int API_NET_GetState(char* inter);
/* The interface's address or netmask text: 0; 1 and "0.0.0.0" when the
 * interface is not up (see API_NET_GetState); -1 on failure, buffer untouched. */
int API_Net_GetIP(char* ip, char* netinterface);
int API_Net_GetNetMask(char* netmask, char* netinterface);
/* The hardware address as "02-1a-2b-3c-4d-5e": 0, or -1 with mac untouched. */
int API_Net_GetMac(char* mac, char* netinterface);
/* API_NET_GetState("ppp0"). */
int API_PPPOE_GetState(void);
/* 1 when "ppp0" or "ppp1" (tried in that order) is up with a VPN-side address
 * (192.168.x.x, or 172.b.x.x with b & 0x30 not 0), else 0. API_PPPOE_vpnip
 * always fills 32 bytes of buf: that address text, or else the last address
 * read from the links, or an empty text. */
int API_PPPOE_GetVPNState(void);
int API_PPPOE_vpnip(char* buf);

/* ==========================================================================
 * Default gateway (from the kernel)
 * The main table's IPv4 routes, dumped over a routing netlink socket into one
 * 8192-byte buffer. Failures write "Error in <step>" lines on standard error.
 * ========================================================================== */
struct nlmsghdr;

/* One route message's values; addresses in network byte order. */
struct route_info {
    uint32_t dstAddr;
    uint32_t srcAddr;
    uint32_t gateWay;
    char ifName[16];
};

/* 0 when the dump was read (the gateway text, 16 bytes, is in gateway if a
 * default route was seen, else gateway is untouched), -1 on failure.
 * netinterface is not used. */
int API_Net_GetGateWay(char* gateway, char* netinterface);
int get_gateway(char* gateway);
/* Reads the datagrams of one dump into bufPtr (8192 bytes) up to the done
 * message; returns the bytes of route datagrams read, or -1. */
int readNlSock(int sockFd, char* bufPtr, int seqNum, int pId);
/* Fills rtInfo from one route message; for a main-table IPv4 route whose
 * destination text contains "0.0.0.0" it writes the gateway text. */
void parseRoutes(struct nlmsghdr* nlHdr, struct route_info* rtInfo, char* gateway);

/* ==========================================================================
 * Wired network and service ports
 * ========================================================================== */
/* Configured fixed address, netmask and gateway (32-byte texts); GetFixIP also
 * prints the address on standard output. SetNetConfig sends "ip,netmask,gateway"
 * and returns 0 without sending when any text is empty. */
int API_Net_GetFixIP(char* ip);
int API_Net_GetFixNetMask(char* netmask);
int API_Net_GetFixGateWay(char* gateway);
int API_Net_SetNetConfig(char* ip, char* netmask, char* gateway);
/* MAC address, sent as given. */
int API_Net_SetMacAddress(char* mac);
/* DNS server 1 or 2 (128-byte text); GetDNS returns 1 when answered. SetDNS
 * returns 0 without sending when ip_addr is empty. */
int API_Net_GetDNS(int ServerNumber, char* Server);
int API_Net_SetDNS(int ServerNumber, char* ip_addr);
/* DHCP on or off, and the address the camera got (32-byte text). */
int API_NET_DHCPGetEnable(void);
int API_NET_DHCPSetEnable(unsigned char enable);
int API_NET_GetRealIP(char* ipaddr);
/* HTTP, RTSP and RTP ports; the RTSP session count is a signed byte. */
int API_Net_HttpGetPort(void);
int API_Net_HttpSetPort(int port);
int API_Net_RTSPGetPort(void);
int API_Net_RTSPSetPort(int port);
int API_Net_RTPGetPort(void);
int API_Net_RTPSetPort(int port);
int API_Net_RTSPGetSession(void);
/* Network interface in use, and the Ethernet link flag. */
int API_NET_GetUsedInterface(void);
int API_NET_SetUsedInterface(int interface);
int API_NET_GetEthLinked(void);

/* ==========================================================================
 * Wireless LAN
 * ========================================================================== */
/* Choice values (one byte each, numbered by the daemon). */
int API_WLAN_GetNetworkType(void);
int API_WLAN_SetNetworkType(int NetworkType);
int API_WLAN_GetPhyMode(void);
int API_WLAN_SetPhyMode(int PhyMode);
int API_WLAN_GetCountryRegion(void);
int API_WLAN_SetCountryRegion(int CountryRegion);
int API_WLAN_GetChannel(void);
int API_WLAN_SetChannel(int Channel);
int API_WLAN_GetTXRate(void);
int API_WLAN_SetTXRate(int TXRate);
int API_WLAN_GetAuth(void);
int API_WLAN_SetAuth(int Auth);
int API_WLAN_GetEncrypt(void);
int API_WLAN_SetEncrypt(int Encrypt);
/* SSID (128-byte text). */
int API_WLAN_GetSSID(char* SSID);
int API_WLAN_SetSSID(char* SSID);
/* WEP and WPA keys (128-byte texts); GetWepKey returns 1 when answered. */
int API_WLAN_GetDefaultWepID(void);
int API_WLAN_SetDefaultWepID(int id);
int API_WLAN_GetWepKey(int WepID, char* key);
int API_WLAN_SetWepKey(int id, char* key);
int API_WLAN_GetWpaKey(char* key);
int API_WLAN_SetWpaKey(char* key);
/* Fixed address, netmask and gateway (128-byte texts). */
int API_WLAN_GetFixIP(char* ipaddr);
int API_WLAN_SetFixIP(char* ipaddr);
int API_WLAN_GetFixNetmask(char* netmask);
int API_WLAN_SetFixNetmask(char* netmask);
int API_WLAN_GetFixGateway(char* gateway);
int API_WLAN_SetFixGateway(char* gateway);
/* DHCP on or off, and the DHCP default flag. */
int API_WLAN_DHCPGetEnable(void);
int API_WLAN_DHCPSetEnable(unsigned char enable);
int API_WLAN_DHCPGetDefault(void);
int API_WLAN_DHCPSetDefault(unsigned char enable);
/* Live link state, signal and bit rate (0..255). */
int API_WLAN_GetLinked(void);
int API_WLAN_GetSignal(void);
int API_WLAN_GetBitrate(void);
/* Wireless switch (a 32-bit value). */
int API_WLAN_GetwlSwitch(void);
int API_WLAN_SetwlSwitch(int type);

/* ==========================================================================
 * PPPoE, VPN and 3G
 * ========================================================================== */
/* PPPoE account: user, password and MTU (128-byte texts), on or off, and the
 * road text (8 bytes). */
int API_PPPOE_GetUser(char* user);
int API_PPPOE_SetUser(char* user);
int API_PPPOE_GetPassword(char* pass);
int API_PPPOE_SetPassword(char* password);
int API_PPPOE_GetMTU(char* mtu);
int API_PPPOE_SetMTU(char* mtu);
int API_PPPOE_GetEnable(void);
int API_PPPOE_SetEnable(int Enable);
int API_PPPOE_GetRoad(char* road);
int API_PPPOE_SetRoad(char* road);
/* 3G link on or off, and the address it got (128-byte text). */
int API_3G_GetEnable(void);
int API_3G_SetEnable(int enable);
int API_3G_GetIP(char* IP);
/* VPN: on or off, encryption and mask (32-bit values); user, password and
 * server (128-byte texts). */
int API_PPPOE_GetVpnEnable(void);
int API_PPPOE_SetVpnEnable(int vpnenable);
int API_PPPOE_GetVpnUser(char* user);
int API_PPPOE_SetVpnUser(char* user);
int API_PPPOE_GetVpnPwd(char* pwd);
int API_PPPOE_SetVpnPwd(char* pwd);
int API_PPPOE_GetVpnServ(char* serv);
int API_PPPOE_SetVpnServ(char* serv);
int API_PPPOE_GetVpnEncryPtion(void);
int API_PPPOE_SetVpnEncryPtion(int encryption);
int API_PPPOE_GetVpnMask(void);
int API_PPPOE_SetVpnMask(int mask);

/* ==========================================================================
 * Dynamic DNS, UPnP and mapping service
 * ========================================================================== */
/* Dynamic-DNS account: provider type, user, password, host name and server
 * (64-byte texts), a status value, and the request to apply the settings. */
int API_DDNS_GetType(void);
int API_DDNS_SetType(int type);
int API_DDNS_GetDDNSUser(char* user);
int API_DDNS_SetDDNSUser(char* user);
int API_DDNS_GetDDNSPassword(char* pass);
int API_DDNS_SetDDNSPassword(char* pass);
int API_DDNS_GetDDNSHostName(char* name);
int API_DDNS_SetDDNSHostName(char* name);
int API_DDNS_SetUpdateSetting(void);
int API_DDNS_GetStatus(void);
int API_DDNS_SetStatus(int status);
int API_DDNS_GetDDNSServer(char* server);
int API_DDNS_SetDDNSSever(char* server);
/* Mapping service: server and map status (128-byte texts; a map status
 * shorter than two characters reads as empty), and the search status. */
int API_Linkway_SetSever(char* server);
int API_Linkway_GetSever(char* server);
int API_Linkway_SetSearchStatus(int status);
int API_Linkway_GetSearchStatus(void);
int API_Linkway_SetMapStatus(char* status);
int API_Linkway_GetMapStatus(char* status);
/* UPnP on or off, and its status. */
int API_NET_GetUpnpOnOff(void);
int API_NET_SetUpnpOnOff(int enable);
int API_NET_GetUpnpStatus(void);
int API_NET_SetUpnpStatus(int status);

/* ==========================================================================
 * Date and time
 * The system clock in local time; no daemon, no lock. A set keeps the other
 * half of the current local time, sets the clock and then runs
 * "/sbin/hwclock -w"; it returns 0, or -1 (bad text, out of range, clock
 * refused) with nothing changed. Not for concurrent use by several threads.
 * ========================================================================== */
/* "2024-03-07" (11 bytes); returns dateBuf (an empty text if the clock cannot
 * be converted, a year of five digits included). Set takes "%d-%d-%d", years
 * 1970..2031. */
char* API_SNTP_Get_Date(char* dateBuf);
int API_SNTP_Set_Date(char* dateBuf);
/* "07:05:03" (9 bytes); returns timeBuf (an empty text if the clock cannot be
 * converted). Every Get echoes the clock's seconds value to /dev/console. Set
 * takes "%d:%d:%d". */
char* API_SNTP_Get_Time(char* timeBuf);
int API_SNTP_Set_Time(char* timeBuf);

/* ==========================================================================
 * Time zones
 * ========================================================================== */
/* The labels of the 38 zones (entries 0..37; the rest are null); zone n is
 * entry n - 1. Writable: sntp_timezone's text-to-number search reads the
 * table as it stands. */
extern const char* zoneList[70];
/* key 0: the zone's TZ text ("PST+8"; "GMT" outside 1..38) into str_GMT
 * (10 bytes), 0. key not 0: the zone number 1..38 of the TZ text in str_GMT,
 * or 0. A null str_GMT: -1. */
int sntp_timezone(int time_zone, char* str_GMT, int key);

/* The daemon's zone text: Get copies the first word of the answer into
 * zoneBuf, 64 bytes (0; -1 on failure and for a word of 64 characters or
 * more, zoneBuf untouched); Set sends the text whole, and refuses one of 2018
 * bytes or more (0, nothing sent). */
int API_SNTP_Get_Zone(char* zoneBuf);
int API_SNTP_Set_Zone(char* zone);
/* The daemon's NTP start-up status, -128..127 (-1 also on failure). */
int API_NTP_GetStartupStatus(void);

/* ==========================================================================
 * Password hashing and credential texts
 * ========================================================================== */
/* The traditional DES crypt of pass under a fresh two-character salt (the first two of its
 * 13 characters); crypt's static result, overwritten by the next call; not thread-safe.
 * NULL when pass is NULL, or when the C library offers no crypt (Debian's musl). */
char* CryptPassword(char* pass);
/* Splits "name:password:level" (name up to the first ':', password up to the last): name and
 * pass need room for 256 bytes; no ':' gives two empty texts and level 0. */
void AuthSlim(const char* orgin, char* name, char* pass, int* level);

/* ==========================================================================
 * User accounts
 * ========================================================================== */
/* Number of live viewers, 0..255. */
int API_USER_GetLiveViewers(void);

/* Adding, deleting and changing accounts; API_USER_Modify returns 0, or -1 on failure. */
int API_USER_SetAddUser(int Level, char* User, char* Password);
int API_USER_SetDelUser(char* User);
int API_USER_SetChangePassword(char* User, char* NewPassword);
int API_USER_Modify(int ID, int Level, char* User, char* Password);

/* Account look-ups (User and Password 128 bytes each); an unknown account gives empty texts
 * and level 0. API_USER_GetUserInfoByID prints a trace line, its password masked. */
int API_USER_GetUserInfoByName(char* User, int* Level, char* Password);
int API_USER_GetUserInfoByID(int ID, int* Level, char* User, char* Password);

/* The built-in inner credential pair (128 bytes each). */
int API_Get_Inner_User(char* user);
int API_Set_Inner_User(char* user);
int API_Get_Inner_Pwd(char* pwd);
int API_Set_Inner_Pwd(char* pwd);

/* ==========================================================================
 * Mail settings and sending
 * ========================================================================== */
/* Server port, raw 32-bit. */
int API_SMTP_Get_Port(void);
int API_SMTP_Set_Port(int type);

/* Server, addresses and account (128 bytes each). */
int API_SMTP_Get_MailServer(char* server);
int API_SMTP_Set_MailServer(char* name);
int API_SMTP_Get_MailFrom(char* name);
int API_SMTP_Set_MailFrom(char* name);
int API_SMTP_Get_MailTo(char* name);
int API_SMTP_Set_MailTo(char* name);
int API_SMTP_Get_User(char* name);
int API_SMTP_Set_User(char* name);
int API_SMTP_Get_Password(char* password);
int API_SMTP_Set_Password(char* password);

/* Authentication and SSL switches, one byte each. */
int API_SMTP_Get_Authentication(void);
int API_SMTP_Set_Authentication(int type);
int API_SMTP_Get_SSL(void);
int API_SMTP_Set_SSL(int type);

/* Mail requests: 1 says only that the daemon answered. A subject of 64 bytes or more or a
 * content of 1954 bytes or more is not sent (0); the attachment text is cut at 2016.
 * Send_Attach's request is "subject,content,path" and the daemon splits it at its first
 * and last comma: the subject and the path may not contain a comma (the content may). */
int API_SMTP_Send_Text(char* subject, char* content);
int API_SMTP_Send_Attach(char* subject, char* content, char* path);

/* ==========================================================================
 * FTP upload settings
 * ========================================================================== */
/* Server, account and remote path (128 bytes each). */
int API_Net_FTPGetServerName(char* name);
int API_Net_FTPSetServerName(char* name);
int API_Net_FTPGetUserName(char* name);
int API_Net_FTPSetUserName(char* name);
int API_Net_FTPGetPassword(char* pass);
int API_Net_FTPSetUserPassword(char* pass);
int API_Net_FTPGetPath(char* path);
int API_Net_FTPSetPath(char* path);

/* Command port (low 8 bits only) and passive mode, 0..255. */
int API_Net_FTPGetCommandPort(void);
int API_Net_FTPSetCommandPort(int port);
int API_Net_FTPGetPasv(void);
int API_Net_FTPSetPasv(int pasv);

/* Upload of one file; 1 says only that the daemon answered. */
int API_Net_FTPContextPut(char* filename);

/* ==========================================================================
 * System control
 * ========================================================================== */
/* Device actions, and an update from the file fname of flen bytes. */
int API_System_Boot(void);
int API_System_Restore(void);
int API_System_Default(void);
int API_System_SyncFlash(void);
int API_System_Update(char* fname, int flen);

/* Process name (32 bytes); the set returns 1, or -1 on failure. */
int API_System_GetProcename(char* name);
int API_System_SetProcename(char* name);

/* Buffer-empty flag; the get returns a signed byte, -128..127. */
int API_System_GetBufferEmpty(void);
int API_System_SetBufferEmpty(int empty);

/* Multi-camera texts: the device lists (1024 bytes each) and the information (2018 bytes). */
int API_MULTI_Set_DeviceSetting(char* buf);
int API_MULTI_Get_DeviceSetting(char* buf);
int API_MULTI_Set_Device(char* buf);
int API_MULTI_Get_Device(char* buf);
int API_Multi_GetInfo(char* info);
int API_Multi_SetInfo(char* info);

/* ==========================================================================
 * Camera name, labels and OSD
 * ========================================================================== */
/* Camera name, storage paths and OSD text (128 bytes each). */
int API_VELDA_GetCameraName(char* name);
int API_VELDA_SetCameraName(char* name);
int API_VELDA_GetSnapshotPath(char* path);
int API_VELDA_SetSnapshotPath(char* path);
int API_VELDA_GetRecPath(char* path);
int API_VELDA_SetRecPath(char* path);
int API_VELDA_GetOSDText(char* text);
int API_VELDA_SetOSDText(char* text);

/* Labels, volume, duration and OSD values: one byte each (0..255, codes are the daemon's). */
int API_VELDA_GetSnapshotTimeLabel(void);
int API_VELDA_SetSnapshotTimeLabel(int enable);
int API_VELDA_GetSnapshotLabelColor(void);
int API_VELDA_SetSnapshotLabelColor(int color);
int API_VELDA_GetAudioVolume(void);
int API_VELDA_SetAudioVolume(int volume);
int API_VELDA_GetRecDucTime(void);
int API_VELDA_SetRecDucTime(int time);
int API_VELDA_GetRecTimeLabel(void);
int API_VELDA_SetRecTimeLabel(int enable);
int API_VELDA_GetRecLabelColor(void);
int API_VELDA_SetRecLabelColor(int color);
int API_VELDA_GetOSDEnable(void);
int API_VELDA_SetOSDEnable(int enable);
int API_VELDA_GetOSDX(void);
int API_VELDA_SetOSDX(int coordinate);
int API_VELDA_GetOSDY(void);
int API_VELDA_SetOSDY(int coordinate);
int API_VELDA_GetOSDColor(void);
int API_VELDA_SetOSDColor(int color);
int API_VELDA_GetOSDFontSize(void);
int API_VELDA_SetOSDFontSize(int fontsize);

/* ==========================================================================
 * Log file
 * ========================================================================== */
/* Appends "<string>,\t<ctime text>" to the file at path (created 0666), after
 * deleting the file when it has grown past 102400 bytes. 0, or -1 with a
 * message on standard output. */
int WriteLogFile(char* path, char* string);

/* ==========================================================================
 * Motion detection and alarm actions
 * ========================================================================== */
/* Motion mode (decimal text) and sensitivity (0..255), per channel. */
int API_Motion_SetMode(unsigned char channel, int Mode);
int API_Motion_GetMode(unsigned char channel);
int API_Motion_SetSensitivity(unsigned char channel, unsigned char Sensitivity);
int API_Motion_GetSensitivity(unsigned char channel);
/* The 48-byte detection mask; mask must hold 48 bytes. */
int API_Motion_SetMask(unsigned char channel, unsigned char* mask);
int API_Motion_GetMask(unsigned char channel, unsigned char* mask);
/* The camera-wide motion alarm action (0..255). */
int API_ALARM_GetMotionAction(void);
int API_ALARM_SetMotionAction(int action);
/* Motion regions (0..15) by their corners (Lx, Ly) and (Rx, Ry). The get
 * returns 0 only when all four numbers were read; numbers read before a short
 * answer stopped are already stored. */
int API_EVENT_GetMotionRegion(int Channel, int Region, int* Lx, int* Ly, int* Rx, int* Ry);
int API_EVENT_SetMotionRegion(int channel, int Region, int Lx, int Ly, int Rx, int Ry);
/* The network-alarm type (32-bit). */
int API_ALARM_Getlanalarm(void);
int API_ALARM_Setlanalarm(int type);

/* ==========================================================================
 * GPIO and alarm I/O
 * ========================================================================== */
/* Motion output and input settings per channel; gets return 0..255. */
int API_Motion_GetGPIOOUTSTATUS(unsigned char channel);
int API_Motion_SetGPIOOUTSTATUS(unsigned char channel, unsigned char status);
int API_Motion_GetGPIOINSTATUS(unsigned char channel);
int API_Motion_SetGPIOINSTATUS(unsigned char channel, unsigned char status);
int API_Motion_SetGPIOA30VALUE(unsigned char channel, unsigned char value);
int API_Motion_GetGPIOA30VALUE(unsigned char channel);
int API_Motion_SetGPIOA29VALUE(unsigned char channel, unsigned char value);
int API_Motion_GetGPIOA29VALUE(unsigned char channel);
int API_Motion_SetoutLeveltime(unsigned char channel, unsigned char value);
int API_Motion_GetoutLeveltime(unsigned char channel);
int API_Motion_SetMotionGpioinAction(unsigned char channel, unsigned char value);
int API_Motion_GetMotionGpioinAction(unsigned char channel);
/* I/O lines (0..9, sent as one byte); gets return -128..127 (a stored 0xFF
 * reads as -1, like a failure). */
int API_GPIO_Get_Direction(int gpio);
int API_GPIO_Set_Direction(int gpio, int direction);
int API_GPIO_Get_Rising(int gpio);
int API_GPIO_Set_Rising(int gpio, int rising);
int API_GPIO_Get_Falling(int gpio);
int API_GPIO_Set_Falling(int gpio, int falling);
int API_GPIO_Get_Value(int gpio);
int API_GPIO_Set_Value(int gpio, int value);
int API_GPIOB_Get_Value(int gpio);
int API_GPIOB_Set_Value(int gpio, int value);
/* Alarm behaviour of the lines; gets return -128..127. SetGPIOValueOut first
 * runs API_GPIO_Set_Value(pin, level) as a transaction of its own, then its
 * own; its result is the second one's alone. */
int API_MOD_GetGPIOValueOut(int pin);
int API_MOD_SetGPIOValueOut(int pin, int level);
int API_MOD_GetGPIOAlarmAction(int pin);
int API_MOD_SetGPIOAlarmAction(int pin, int action);
int API_MOD_GetGPIOAlarmLevel(int pin);
int API_MOD_SetGPIOAlarmLevel(int pin, int level);

/* ==========================================================================
 * PTZ and preset positions
 * ========================================================================== */
/* Pan/tilt settings (decimal text); gets return -1 also when the answer
 * holds no number. */
int API_PTZ_GetProtocal(void);
int API_PTZ_SetProtocal(int protocal);
int API_PTZ_GetBaudrate(void);
int API_PTZ_SetBaudrate(int baudrate);
int API_PTZ_GetAddress(void);
int API_PTZ_SetAddress(int address);
int API_PTZ_GetSpeed(void);
int API_PTZ_SetSpeed(int speed);
int API_PTZ_GetPandirection(void);
int API_PTZ_SetPandirection(int direction);
int API_PTZ_SetStatus(int status);
int API_PTZ_GetStatus(void);
/* Preset positions, 0 on success and -1 on failure. The get sends the
 * caller's record as its question and overwrites it with the answer. */
int API_GET_POSITION(POSITION_T* Pos);
int API_SET_POSITION(POSITION_T Pos);

/* ==========================================================================
 * Recording settings
 * ========================================================================== */
/* Recording switch, type and channel; gets return -128..127. */
int API_MOD_SetRecord(int enable);
int API_MOD_SetRecordType(int channel, int Type);
int API_MOD_GetRecordType(int channel);
int API_MOD_GetRecordChannel(void);
int API_MOD_SetRecordChannel(int channel);
int API_MOD_GetRecordPreOSD(void);
int API_MOD_SetRecordPreOSD(int value);
/* Schedule and duration rows: 24 ints each. */
int API_MOD_SetRecordSchedule(int channel, int* Schedule);
int API_MOD_GetRecordSchedule(int channel, int* Schedule);
int API_MOD_SetRecordDuration(int channel, int* Duration);
int API_MOD_GetRecordDuration(int channel, int* Duration);
/* Recording triggers: general-purpose input, motion, network alarm. */
int API_MOD_SetRecordGPIOTrig(int channel);
int API_MOD_SetRecordMotionTrig(int channel);
int API_MOD_SetRecordLanTrig(int channel);

/* ==========================================================================
 * Record list transfer
 * ========================================================================== */
/* A channel's record list (8-byte records, two ints each, at most 4096), moved
 * in chunks of 12 under one hold of the lock. The set returns 1, 0 when the
 * header exchange failed, -1 when a chunk failed or RecordCount is outside
 * 0..4096 (nothing sent). The get returns 1 or -1; RecordList must hold the
 * daemon's count of records; an announced count outside 0..4096 leaves
 * *RecordCount and the list untouched. */
int API_MOD_SetRecordList(int channel, int RecordCount, int* RecordList);
int API_MOD_GetRecordList(int channel, int* RecordCount, int* RecordList);

/* ==========================================================================
 * SD card status
 * ========================================================================== */
/* SD card values (32-bit); SetSdSize returns 1 / -1. */
int API_MOD_GetSdSize(void);
int API_MOD_SetSdSize(int sdsize);
int API_MOD_GetSdUseSize(void);
int API_MOD_SetSdUseSize(int nsize);
int API_MOD_GetSdEventCount(void);
int API_MOD_SetSdEventCount(int ncount);
int API_MOD_GetSdWriteCount(void);
int API_MOD_SetSdWriteCount(int nwrite);
int API_MOD_GetPreEventTime(void);
int API_MOD_SetPreEventTime(int ntime);
int API_MOD_GetLastEventTime(void);
int API_MOD_SetLastEventTime(int ntime);
/* Read/write status: commands shared by two names each. */
int API_MOD_GetSdRdWriteStatus(void);
int API_MOD_GetSdwriteCount(void);
int API_MOD_SetSdRdWriteStatus(int status);
int API_MOD_SetSdwriteCount(int status);
/* Card type, lock and table value, read as one byte (-128..127); the type is
 * written as one byte, the lock as 32 bits (SetSdLock returns 0 / -1). */
int API_MOD_GetSdType(void);
int API_MOD_SetSdType(int ntype);
int API_MOD_GetSdLock(void);
int API_MOD_SetSdLock(int lock);
int API_MOD_GetSdTable(void);
/* Recorder switches. */
int API_MOD_GetSdcontrol(void);
int API_MOD_SetSdcontrol(int type);
int API_MOD_GetSdprestop(void);
int API_MOD_SetSdprestop(int type);

#ifdef __cplusplus
}
#endif

#endif /* API_ARCH_H */
