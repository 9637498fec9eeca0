# Shell helper, sourced by scripts and tests: writes a complete Gathra.ini.
#
#   write_gathra_ini FILE SAVE_FOLDER [KEY=VALUE ...]
#
# Every key with its default, except: the given save folder, Mode=0 (direct: gathra-termsim plays the
# terminal, not the infrared adapter) and AutoStart=1. KEY=VALUE pairs replace the value of KEY.
write_gathra_ini() {
    local file=$1 save=$2 pair key
    shift 2
    local -A override=()
    for pair in "$@"; do
        override[${pair%%=*}]=${pair#*=}
    done
    local keys=(Baud=115200 Port=1 Mode=0 CrcType=0 OverWrite=0 StartUpSize=0 AutoStart=1 Protocol=0
        SendMail=0 MailAddress= MailSub= FromMailAddress= MailServer=)
    for n in $(seq 1 20); do keys+=("XlsField$n=1"); done
    keys+=(AddDate=0 FixFname= TimeAdjust=1 SaveFormat=0 XlsType=1 XlsTemp= XlsF1=1 XlsStartLine=1
        MdbType=0 MdbName= MdbTblName=)
    {
        echo "[Gathra]"
        echo "SaveFolder=$save"
        for pair in "${keys[@]}"; do
            key=${pair%%=*}
            if [ -n "${override[$key]+set}" ]; then
                echo "$key=${override[$key]}"
            else
                echo "$pair"
            fi
        done
    } >"$file"
}
