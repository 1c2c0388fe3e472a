-- Wireshark dissector for the termbridge dispatcher protocol.
--
-- Native command packets: 524-byte UDP datagrams from the library to the
-- dispatcher's command port. Event packets: 520-byte records, back to back,
-- in the TCP stream that the dispatcher opens to the library's port. An
-- event's data that starts with the event data header (ctrl word 11) is
-- decoded as such; commands that touch the chip's command mailbox are marked
-- as mailbox traffic. Ports and mailbox addresses are preferences
-- (Edit > Preferences > Protocols > TERMBRIDGE, or tshark -o termbridge.<name>:<value>).
--
-- Install: copy this file into Wireshark's personal plugins folder
-- (~/.local/lib/wireshark/plugins on Linux, %APPDATA%\Wireshark\plugins on
-- Windows), or load it for one run: tshark -X lua_script:termbridge.lua.

local proto = Proto("termbridge", "TERMBRIDGE dispatcher protocol")

local COMMAND_SIZE = 524
local EVENT_SIZE = 520
local DATA_SIZE = 512
local HEADER_CTRL = 11

proto.prefs.command_port = Pref.uint("Command port (UDP)", 50000, "The dispatcher's command port (Console_To_Dispatcher)")
proto.prefs.event_port = Pref.uint("Event port (TCP)", 50001, "The library's port for events (Dispatcher_To_Console)")
-- Addresses are text (decimal or 0x hexadecimal): number preferences stop at 2^31.
proto.prefs.mailbox_buffer = Pref.string("Mailbox buffer address", "0xBFE30000", "Start of the chip's command mailbox buffer")
proto.prefs.mailbox_size = Pref.uint("Mailbox buffer size", 0x400, "Bytes of the mailbox buffer")
proto.prefs.counter_read = Pref.string("Mailbox counter read address", "0xBF108300", "Word read to learn whether the mailbox is free")
proto.prefs.counter_write = Pref.string("Mailbox counter write address", "0xBF108240", "Word written to hand a command to the chip")

local native_types = {
    [0] = "NATIVE_READ_WORD_CMD", [1] = "NATIVE_WRITE_WORD_CMD", [2] = "NATIVE_READ_BUFFER_CMD",
    [3] = "NATIVE_WRITE_BUFFER_CMD", [4] = "NATIVE_READ_EEPROM_CMD", [5] = "NATIVE_WRITE_EEPROM_CMD",
    [6] = "NATIVE_COMMAND_PIPE_CMD", [0xFFFF] = "SYSTEM",
}
local system_codes = {
    [0] = "setup (second)", [1] = "setup (first)", [2] = "log severity", [3] = "sync", [4] = "close",
}
local SYSTEM_TYPE = 0xFFFF
local WRITE_TYPES = { [1] = true, [3] = true, [5] = true }

local f = {
    cmd_version = ProtoField.uint8("termbridge.cmd.version", "Version", base.DEC),
    cmd_number = ProtoField.uint8("termbridge.cmd.number", "Command packet number", base.DEC),
    cmd_type = ProtoField.uint16("termbridge.cmd.type", "Type", base.HEX, native_types),
    cmd_address = ProtoField.uint32("termbridge.cmd.address", "Address", base.HEX),
    cmd_length = ProtoField.uint16("termbridge.cmd.length", "Length", base.DEC),
    cmd_param = ProtoField.uint16("termbridge.cmd.param", "Additional parameter", base.DEC),
    cmd_system = ProtoField.uint16("termbridge.cmd.system", "System command", base.DEC, system_codes),
    cmd_value = ProtoField.uint32("termbridge.cmd.value", "Value", base.HEX),
    cmd_data = ProtoField.bytes("termbridge.cmd.data", "Data"),
    mailbox = ProtoField.string("termbridge.mailbox", "Mailbox"),
    mailbox_offset = ProtoField.uint32("termbridge.mailbox.offset", "Mailbox buffer offset", base.DEC),
    evt_version = ProtoField.uint8("termbridge.evt.version", "Version", base.DEC),
    evt_type = ProtoField.uint8("termbridge.evt.type", "Type", base.DEC),
    evt_number = ProtoField.uint16("termbridge.evt.number", "Event packet number", base.DEC),
    evt_rxnumber = ProtoField.uint8("termbridge.evt.rxnumber", "Answers command packet", base.DEC),
    evt_source = ProtoField.uint8("termbridge.evt.source", "Source", base.DEC),
    evt_length = ProtoField.uint16("termbridge.evt.length", "Length", base.DEC),
    evt_data = ProtoField.bytes("termbridge.evt.data", "Data"),
    evt_text = ProtoField.string("termbridge.evt.text", "Answer text"),
    hdr_ctrl = ProtoField.uint16("termbridge.hdr.ctrl", "Event ctrl", base.DEC),
    hdr_source = ProtoField.uint8("termbridge.hdr.source", "Event source", base.DEC),
    hdr_code = ProtoField.uint8("termbridge.hdr.code", "Event code", base.HEX),
    hdr_flags = ProtoField.uint8("termbridge.hdr.flags", "Flags", base.HEX),
    hdr_more = ProtoField.bool("termbridge.hdr.more_fragments", "More fragments follow", 8, nil, 0x80),
    hdr_fragment = ProtoField.uint8("termbridge.hdr.fragment", "Fragment number", base.DEC),
    hdr_length = ProtoField.uint8("termbridge.hdr.length", "Event length", base.DEC),
    hdr_subevent = ProtoField.uint8("termbridge.hdr.subevent", "More events for the command", base.DEC),
    hdr_status = ProtoField.uint8("termbridge.hdr.status", "Status", base.DEC),
    hdr_payload = ProtoField.bytes("termbridge.hdr.payload", "Payload"),
}
local field_list = {}
for _, field in pairs(f) do field_list[#field_list + 1] = field end
proto.fields = field_list

local malformed = ProtoExpert.new("termbridge.malformed", "Malformed termbridge packet", expert.group.MALFORMED,
                                  expert.severity.ERROR)
proto.experts = { malformed }

local function mailbox_addresses()
    local prefs = proto.prefs
    return tonumber(prefs.mailbox_buffer) or -1, tonumber(prefs.counter_read) or -1,
           tonumber(prefs.counter_write) or -1
end

-- Which part of the mailbox a command touches, if any.
local function mailbox_role(type, address, length)
    local buffer, counter_read, counter_write = mailbox_addresses()
    if type == 0 and address == counter_read then return "counter read (is the mailbox free?)" end
    if type == 1 and address == counter_write then return "counter write (command handed to the chip)" end
    local last = address + math.max(length, 1) - 1
    if (type == 2 or type == 3) and address >= buffer and last < buffer + proto.prefs.mailbox_size then
        return type == 3 and "command bytes" or "buffer read"
    end
    return nil
end

local function dissect_command(tvb, pinfo, root)
    local tree = root:add(proto, tvb(0, COMMAND_SIZE), "TERMBRIDGE native command")
    if tvb:len() ~= COMMAND_SIZE then
        tree:add_proto_expert_info(malformed, "a command packet has " .. COMMAND_SIZE .. " bytes, this one " .. tvb:len())
        return
    end
    local type = tvb(2, 2):le_uint()
    local address = tvb(4, 4):le_uint()
    local length = tvb(8, 2):le_uint()
    local param = tvb(10, 2):le_uint()
    tree:add_le(f.cmd_version, tvb(0, 1))
    tree:add_le(f.cmd_number, tvb(1, 1))
    tree:add_le(f.cmd_type, tvb(2, 2))
    tree:add_le(f.cmd_address, tvb(4, 4))
    tree:add_le(f.cmd_length, tvb(8, 2))
    if type == SYSTEM_TYPE then
        tree:add_le(f.cmd_system, tvb(10, 2))
    else
        tree:add_le(f.cmd_param, tvb(10, 2))
    end
    local info = string.format("#%d %s", tvb(1, 1):uint(), native_types[type] or string.format("type 0x%x", type))
    if type == SYSTEM_TYPE then
        info = info .. string.format(" %s value %d", system_codes[param] or tostring(param), address)
    else
        info = info .. string.format(" 0x%08x", address)
    end
    if type == 1 and length >= 4 then
        tree:add_le(f.cmd_value, tvb(12, 4))
        info = info .. string.format(" = 0x%x", tvb(12, 4):le_uint())
    elseif type ~= 0 and type ~= SYSTEM_TYPE then
        info = info .. " len " .. length
    end
    if WRITE_TYPES[type] and length > 0 then
        tree:add(f.cmd_data, tvb(12, math.min(length, DATA_SIZE)))
    end
    local role = mailbox_role(type, address, length)
    if role then
        tree:add(f.mailbox, role)
        if role == "command bytes" or role == "buffer read" then
            tree:add(f.mailbox_offset, address - (mailbox_addresses()))
        end
        info = info .. " [mailbox " .. role .. "]"
    end
    pinfo.cols.info:set(info)
end

-- The data as text up to its first NUL, when that is all printable (the
-- answers "OK", "ERR" and a word read's "0x........").
local function printable(range)
    local text = range:stringz()
    if #text > 0 and not text:find("[^%g ]") then return text end
    return nil
end

local function dissect_event_header(data, tree)
    local header = tree:add(proto, data(0, 16), "Event data header")
    header:add(f.hdr_ctrl, data(0, 2))
    header:add(f.hdr_source, data(4, 1))
    header:add(f.hdr_code, data(8, 1))
    local flags = header:add(f.hdr_flags, data(9, 1))
    flags:add(f.hdr_more, data(9, 1))
    header:add(f.hdr_fragment, data(11, 1))
    header:add(f.hdr_length, data(12, 1))
    header:add(f.hdr_subevent, data(13, 1))
    header:add(f.hdr_status, data(14, 1))
    if data:len() > 16 then header:add(f.hdr_payload, data(16)) end
    local text = string.format(" code 0x%02x status %d", data(8, 1):uint(), data(14, 1):uint())
    if bit.band(data(9, 1):uint(), 0x80) ~= 0 or data(11, 1):uint() > 0 then
        text = text .. string.format(" fragment %d%s", data(11, 1):uint(),
                                     bit.band(data(9, 1):uint(), 0x80) ~= 0 and "+" or "")
    end
    return text
end

-- One 520-byte event packet.
local function dissect_event(tvb, pinfo, root)
    local tree = root:add(proto, tvb, "TERMBRIDGE event")
    tree:add_le(f.evt_version, tvb(0, 1))
    tree:add_le(f.evt_type, tvb(1, 1))
    tree:add_le(f.evt_number, tvb(2, 2))
    tree:add_le(f.evt_rxnumber, tvb(4, 1))
    tree:add_le(f.evt_source, tvb(5, 1))
    local length_item = tree:add_le(f.evt_length, tvb(6, 2))
    local length = tvb(6, 2):le_uint()
    local info = string.format("event %d for #%d source %d", tvb(2, 2):le_uint(), tvb(4, 1):uint(), tvb(5, 1):uint())
    if length > DATA_SIZE then
        length_item:add_proto_expert_info(malformed, "Length above " .. DATA_SIZE)
        length = DATA_SIZE
    end
    if length > 0 then
        local data = tvb(8, length)
        tree:add(f.evt_data, data)
        if length >= 16 and data(0, 2):uint() == HEADER_CTRL then
            info = info .. dissect_event_header(data, tree)
        else
            local text = printable(data)
            if text then
                tree:add(f.evt_text, data, text)
                info = info .. " \"" .. text .. "\""
            end
        end
    end
    return info
end

function proto.dissector(tvb, pinfo, root)
    pinfo.cols.protocol:set("TERMBRIDGE")
    if pinfo.port_type == 3 then  -- UDP
        dissect_command(tvb, pinfo, root)
        return tvb:len()
    end
    -- The event stream: as many whole events as this segment holds; the
    -- rest waits for the next segment.
    local offset = 0
    local infos = {}
    while offset < tvb:len() do
        local left = tvb:len() - offset
        if left < EVENT_SIZE then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = EVENT_SIZE - left
            break
        end
        infos[#infos + 1] = dissect_event(tvb(offset, EVENT_SIZE):tvb(), pinfo, root)
        offset = offset + EVENT_SIZE
    end
    if #infos > 0 then pinfo.cols.info:set(table.concat(infos, "; ")) end
    return tvb:len()
end

local registered = {}
local function register_ports()
    local udp = DissectorTable.get("udp.port")
    local tcp = DissectorTable.get("tcp.port")
    if registered.udp then udp:remove(registered.udp, proto) end
    if registered.tcp then tcp:remove(registered.tcp, proto) end
    registered.udp = proto.prefs.command_port
    registered.tcp = proto.prefs.event_port
    udp:add(registered.udp, proto)
    tcp:add(registered.tcp, proto)
end

function proto.prefs_changed()
    register_ports()
end

register_ports()
