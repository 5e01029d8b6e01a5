-- Wireshark dissector for the identity-card reader's SAM serial frames, as
-- kav writes them into pcapng: the frames on link type USER0, the line's
-- events (texts) on USER1. Wireshark 4.0 runs Lua 5.2: bit operations
-- through the `bit` library.
--
-- Frame: AA AA AA 96 69, a big-endian length of what follows it, then
--   host to reader:  CMD PARA DATA... CHK
--   reader to host:  SW1 SW2 SW3 DATA... CHK
-- CHK is the XOR of the length bytes and everything after them up to CHK.

local kav = Proto("kav", "Identity-card reader SAM frame")
local events = Proto("kav_event", "Identity-card reader line event")

local commands = {
    [0x10] = { [0xFF] = "reset SAM" },
    [0x11] = { [0xFF] = "SAM status" },
    [0x12] = { [0xFF] = "SAM ID" },
    [0x20] = { [0x01] = "find card", [0x02] = "select card" },
    [0x30] = { [0x01] = "read text and photo", [0x03] = "read appended address",
               [0x10] = "read text, photo and fingerprint" },
    [0x60] = { [0x00] = "set baud 115200", [0x01] = "set baud 57600", [0x02] = "set baud 38400",
               [0x03] = "set baud 19200", [0x04] = "set baud 9600" },
    [0x61] = { [0xFF] = "set max RF bytes" },
}

local statuses = {
    [0x90] = "success", [0x9F] = "find card success", [0x91] = "no content",
    [0x10] = "checksum error", [0x11] = "length error", [0x21] = "command error",
    [0x23] = "not permitted", [0x24] = "unrecognised error", [0x31] = "card authentication failed",
    [0x32] = "SAM authentication failed", [0x33] = "verify error", [0x40] = "unknown card type",
    [0x41] = "read failed", [0x47] = "random number failed", [0x60] = "SAM self-test failed",
    [0x66] = "not authorised", [0x80] = "find card failed", [0x81] = "select card failed",
}

-- The resident card's text block: UCS-2 little-endian, space padded.
local textFields = {
    { "name", "Name", 0, 30 }, { "sex", "Sex", 30, 2 }, { "nation", "Nation", 32, 4 },
    { "born", "Born", 36, 16 }, { "address", "Address", 52, 70 },
    { "id", "ID number", 122, 36 }, { "issuer", "Issuer", 158, 30 },
    { "valid_from", "Valid from", 188, 16 }, { "valid_until", "Valid until", 204, 16 },
}

local f = {
    preamble = ProtoField.bytes("kav.preamble", "Preamble"),
    length = ProtoField.uint16("kav.length", "Length", base.DEC),
    direction = ProtoField.string("kav.direction", "Direction"),
    command = ProtoField.string("kav.command", "Command"),
    cmd = ProtoField.uint8("kav.cmd", "CMD", base.HEX),
    para = ProtoField.uint8("kav.para", "PARA", base.HEX),
    sw1 = ProtoField.uint8("kav.sw1", "SW1", base.HEX),
    sw2 = ProtoField.uint8("kav.sw2", "SW2", base.HEX),
    status = ProtoField.uint8("kav.status", "Status (SW3)", base.HEX, statuses),
    status_name = ProtoField.string("kav.status.name", "Status"),
    data = ProtoField.bytes("kav.data", "Data"),
    checksum = ProtoField.uint8("kav.checksum", "Checksum", base.HEX),
    checksum_status = ProtoField.string("kav.checksum.status", "Checksum status"),
    text_length = ProtoField.uint16("kav.text_length", "Text length", base.DEC),
    photo_length = ProtoField.uint16("kav.photo_length", "Photo length", base.DEC),
    text = ProtoField.bytes("kav.text", "Text block"),
    card_type = ProtoField.string("kav.text.type", "Card type letter"),
    photo = ProtoField.bytes("kav.photo", "Photo"),
}
for _, t in ipairs(textFields) do
    f["text_" .. t[1]] = ProtoField.string("kav.text." .. t[1], t[2])
end
local list = {}
for _, field in pairs(f) do list[#list + 1] = field end
kav.fields = list

local e = {
    short = ProtoExpert.new("kav.short", "Frame cut short", expert.group.MALFORMED, expert.severity.ERROR),
    preamble = ProtoExpert.new("kav.bad_preamble", "No preamble: not a frame start",
                               expert.group.MALFORMED, expert.severity.ERROR),
    length = ProtoExpert.new("kav.bad_length", "Length does not match the frame",
                             expert.group.MALFORMED, expert.severity.ERROR),
    checksum = ProtoExpert.new("kav.bad_checksum", "Checksum does not hold",
                               expert.group.CHECKSUM, expert.severity.ERROR),
    status = ProtoExpert.new("kav.failure", "The SAM answered a failure",
                             expert.group.RESPONSE_CODE, expert.severity.NOTE),
}
kav.experts = { e.short, e.preamble, e.length, e.checksum, e.status }

local eventText = ProtoField.string("kav_event.text", "Event")
events.fields = { eventText }

local preamble = { 0xAA, 0xAA, 0xAA, 0x96, 0x69 }

-- From the packet's direction flag: P2P_DIR_SENT (0) is host to reader,
-- P2P_DIR_RECV (1) reader to host; unknown (-1): guessed from the bytes.
local function isCommand(pinfo, buffer, size)
    if pinfo.p2p_dir == 0 then return true end
    if pinfo.p2p_dir == 1 then return false end
    -- A response's SW1 and SW2 are zero, a command's CMD never is.
    return size > 7 and buffer(7, 1):uint() ~= 0
end

local function trimmed(s)
    return (s:gsub("[ %z]+$", ""))
end

local function readAnswer(tree, buffer, at, size)
    -- Two lengths (256 and 1024), the text block, the photo.
    if size < 4 + 256 + 1024 then return end
    local textLength = buffer(at, 2):uint()
    local photoLength = buffer(at + 2, 2):uint()
    if textLength ~= 256 or photoLength ~= 1024 then return end
    tree:add(f.text_length, buffer(at, 2))
    tree:add(f.photo_length, buffer(at + 2, 2))
    local textRange = buffer(at + 4, 256)
    local text = tree:add(f.text, textRange)
    for _, t in ipairs(textFields) do
        local range = buffer(at + 4 + t[3], t[4])
        text:add(f["text_" .. t[1]], range, trimmed(range:le_ustring()))
    end
    text:add(f.card_type, buffer(at + 4 + 248, 2), buffer(at + 4 + 248, 2):le_ustring())
    tree:add(f.photo, buffer(at + 4 + 256, 1024))
end

function kav.dissector(buffer, pinfo, root)
    pinfo.cols.protocol = "KAV"
    local size = buffer:len()
    local tree = root:add(kav, buffer())
    local command = isCommand(pinfo, buffer, size)
    tree:add(f.direction, command and "host to reader" or "reader to host")
    -- Whatever the bytes, only ranges inside the buffer are read.
    local start = math.min(size, 5)
    for i = 0, start - 1 do
        if buffer(i, 1):uint() ~= preamble[i + 1] then
            tree:add_proto_expert_info(e.preamble)
            pinfo.cols.info = "not a frame (" .. size .. " bytes)"
            return size
        end
    end
    if size < 7 then
        if size > 0 then tree:add(f.preamble, buffer(0, start)) end
        tree:add_proto_expert_info(e.short)
        pinfo.cols.info = "frame cut short (" .. size .. " bytes)"
        return size
    end
    tree:add(f.preamble, buffer(0, 5))
    local length = buffer(5, 2):uint()
    local lengthItem = tree:add(f.length, buffer(5, 2))
    local minimum = command and 3 or 4
    local whole = 7 + length
    if length < minimum or whole > size then
        lengthItem:add_proto_expert_info(whole > size and e.short or e.length)
    elseif whole < size then
        lengthItem:add_proto_expert_info(e.length)
    end
    local info
    if command then
        if size >= 9 then
            local cmd, para = buffer(7, 1):uint(), buffer(8, 1):uint()
            local name = (commands[cmd] and commands[cmd][para]) or
                         string.format("command 0x%02X 0x%02X", cmd, para)
            tree:add(f.command, buffer(7, 2), name)
            tree:add(f.cmd, buffer(7, 1))
            tree:add(f.para, buffer(8, 1))
            info = name
        end
    elseif size >= 10 then
        tree:add(f.sw1, buffer(7, 1))
        tree:add(f.sw2, buffer(8, 1))
        local sw3 = buffer(9, 1):uint()
        local item = tree:add(f.status, buffer(9, 1))
        local name = statuses[sw3] or "unknown status"
        tree:add(f.status_name, buffer(9, 1), name)
        if sw3 ~= 0x90 and sw3 ~= 0x9F then item:add_proto_expert_info(e.status) end
        info = string.format("status 0x%02X %s", sw3, name)
    end
    if length < minimum or whole > size then
        tree:add_proto_expert_info(e.short)
        pinfo.cols.info = (info or "frame") .. " [cut short]"
        return size
    end
    local dataAt = command and 9 or 10
    local dataSize = whole - 1 - dataAt
    if dataSize > 0 then
        tree:add(f.data, buffer(dataAt, dataSize))
        if not command then readAnswer(tree, buffer, dataAt, dataSize) end
    end
    local sum = 0
    for i = 5, whole - 2 do sum = bit.bxor(sum, buffer(i, 1):uint()) end
    local chk = buffer(whole - 1, 1):uint()
    local chkItem = tree:add(f.checksum, buffer(whole - 1, 1))
    if sum == chk then
        tree:add(f.checksum_status, "good")
    else
        tree:add(f.checksum_status, "bad")
        chkItem:add_proto_expert_info(e.checksum,
                                      string.format("Checksum 0x%02X does not hold (0x%02X)", chk, sum))
        info = (info or "frame") .. " [bad checksum]"
    end
    pinfo.cols.info = info or "frame"
    return size
end

function events.dissector(buffer, pinfo, root)
    pinfo.cols.protocol = "KAV event"
    local text = buffer():string(ENC_UTF_8)
    root:add(events, buffer()):add(eventText, buffer(), text)
    pinfo.cols.info = text
    return buffer:len()
end

local encaps = wtap_encaps or wtap
local table = DissectorTable.get("wtap_encap")
table:add(encaps.USER0, kav)
table:add(encaps.USER1, events)
