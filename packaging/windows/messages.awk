# Writes the event message file: the service reports every step with a running event id (1, 2,
# 3, … in each process) and one text, so each id up to 65535 has the message "%1", the text.
BEGIN {
    print "MessageIdTypedef=DWORD"
    print "SeverityNames=(Success=0x0)"
    print "FacilityNames=(Service=0x0)"
    print "LanguageNames=(English=0x409:MSG00409)"
    print ""
    for (id = 1; id <= 65535; id++) {
        printf "MessageId=%d\nSeverity=Success\nFacility=Service\nLanguage=English\n%%1\n.\n\n", id
    }
}
