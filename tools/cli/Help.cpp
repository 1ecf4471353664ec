#include "Help.h"

namespace cscli {

namespace {

const char* const kConnectionHelp =
    "Connection options (before or after the command):\n"
    "  --server SERVER       the management server: a host name or address (port 8080),\n"
    "                        host:port, or a URL http(s)://host[:port][/path]\n"
    "                        (default path /client/api; default server 127.0.0.1)\n"
    "  --user USER           user name for a password login (default admin)\n"
    "  --domain PATH         the user's domain, such as ROOT/customers/acme (default ROOT)\n"
    "  --password-file FILE  read the password from the first line of FILE\n"
    "  --region NAME         read section [NAME] of the config file instead of [cloudstack];\n"
    "                        -p NAME is the same\n"
    "  --ca-file FILE        also trust the CA certificates in this PEM file (https)\n"
    "  --insecure            do not verify the server's certificate (test clouds only)\n"
    "  --proxy URL           reach the server through this proxy: http://, https:// or\n"
    "                        socks5h://[USER@]HOST[:PORT] (without a scheme: http); a proxy\n"
    "                        that wants a password takes it from a URL in the environment\n"
    "                        or the config file, never from the command line\n"
    "  --cert FILE           present this client certificate (PEM) to a server that demands one\n"
    "  --cert-key FILE       its private key (PEM, unencrypted), unless the --cert file holds it\n"
    "  --debug               trace every request (secrets masked) on standard error\n"
    "\n"
    "Each setting comes from the first of: the command line; the environment\n"
    "(CLOUDSTACK_SERVER or CLOUDSTACK_ENDPOINT, CLOUDSTACK_USER, CLOUDSTACK_DOMAIN,\n"
    "CLOUDSTACK_PASSWORD, CLOUDSTACK_API_KEY and CLOUDSTACK_SECRET_KEY or CLOUDSTACK_KEY and\n"
    "CLOUDSTACK_SECRET, CLOUDSTACK_REGION); the config file; the defaults.\n"
    "\n"
    "The config file is $CLOUDSTACK_CONFIG, else ./cloudstack.ini, else ~/.cloudstack.ini:\n"
    "  [cloudstack]\n"
    "  endpoint = https://cloud.example.org/client/api\n"
    "  key = <API key>\n"
    "  secret = <secret key>\n"
    "  ; or, for a password login: username, password, domain\n"
    "  ; and: proxy = URL, cert = FILE, cert_key = FILE, verify = FILE (a CA file, as\n"
    "  ; --ca-file) or verify = false (as --insecure)\n"
    "\n"
    "The proxy comes from --proxy, else the environment as curl reads it (http_proxy for an\n"
    "http server, https_proxy or HTTPS_PROXY for an https one, then all_proxy or ALL_PROXY),\n"
    "else the config file. A server that no_proxy (or NO_PROXY) names is reached directly,\n"
    "whatever the source: a host name (which covers its subdomains; a leading dot changes\n"
    "nothing), an IP address, a range such as 10.0.0.0/8, or * for every server; ports are\n"
    "not compared, and names are not resolved to match addresses.\n"
    "\n"
    "With an API key and its secret key the client signs every request; otherwise it logs in\n"
    "with user name and password. The first source that names credentials decides: --user,\n"
    "--domain or --password-file on the command line; a key pair, CLOUDSTACK_USER or\n"
    "CLOUDSTACK_PASSWORD in the environment; a key pair, username or password in the file.\n"
    "The password comes from --password-file, else $CLOUDSTACK_PASSWORD, else the config file,\n"
    "else a prompt on the terminal. No secret is ever taken from the command line, where every\n"
    "user of the machine could read it in the process list.\n"
    "\n"
    "The config file and a password file must belong to you (or root) and be writable by you\n"
    "alone; a password file, a client key file, and a config file with a password, a secret or\n"
    "a proxy's password in any section, must be readable by you alone (chmod 600 FILE). The\n"
    "client refuses any other and says why.\n";

const char* const kExitHelp =
    "\n"
    "Exit status: 0 success, 1 the server call failed (one line on standard error says why; for\n"
    "several machines or commands, when any failed), 2 usage error, 130 interrupted by Ctrl-C\n"
    "while waiting for a job.\n";

const char* const kOutputHelp =
    "  --output FORMAT   table (default), json (the server's attribute names; --json is the same),\n"
    "                    csv (a header line, then one line per record, quoted as RFC 4180 says)\n"
    "                    or text (one 'name = value' line per attribute, a blank line between\n"
    "                    records); -o FORMAT is the same\n"
    "  --fields A,B,...  the attributes to show, by the server's names (name,state,zonename)\n";

const char* const kCsvRawHelp =
    "  --csv-raw         with --output csv: every cell exactly as the server sent it, for programs\n"
    "                    that read the file. Without it a cell that begins with =, +, -, @, a tab\n"
    "                    or a carriage return and is no plain number (such as -12.5) gets a\n"
    "                    leading ', so that a spreadsheet cannot run it as a formula, and control\n"
    "                    characters show as escapes\n";

const char* const kServerTextHelp =
    "\n"
    "Text from the server is shown, never run: control characters and bidi overrides appear as\n"
    "escapes (\\x1b, \\u202e) and invalid UTF-8 as U+FFFD in tables, messages and CSV; JSON keeps\n"
    "the exact text, with those characters written as \\uXXXX escapes. A CSV cell that a\n"
    "spreadsheet would run as a formula gets a leading '; --csv-raw writes cells as they are.\n";

const char* const kJobHelp =
    "  --poll SECONDS    ask for the job's state this often (default 2)\n"
    "  --timeout SECONDS give up waiting after this long (default: no limit), at the first poll\n"
    "                    after it; the job goes on\n"
    "\n"
    "On a terminal, a status line shows how long it has waited. Ctrl-C stops waiting at the next\n"
    "poll (the job goes on on the server) and prints the job id. A job id may be text or, from\n"
    "older servers, a number.\n";

std::string ListHelp(Command command) {
    const std::string name = CommandName(command);
    std::string text = "Usage: cloudstack-cli " + name + " [FILTERS] [--output FORMAT] [--fields A,B,...]";
    if (command == Command::Projects || command == Command::Vms) text += " [--all]";
    text += "\n\n";
    switch (command) {
        case Command::Projects:
            text += "Lists the projects of your account (every account's with --all): name, state, domain, id.\n";
            break;
        case Command::Zones:
            text += "Lists every zone: name, allocation state, id.\n";
            break;
        case Command::Pods:
            text += "Lists every pod: name, zone, gateway, netmask, id.\n";
            break;
        case Command::Clusters:
            text += "Lists every cluster: name, zone, pod, hypervisor, type, allocation state, id.\n";
            break;
        case Command::Hosts:
            text +=
                "Lists every host: name, state, type, cluster, CPUs (count x speed, share in use),\n"
                "memory in use / total, id.\n";
            break;
        default:
            text +=
                "Lists the virtual machines of your account (every account's with --all): name, state,\n"
                "zone, host, CPUs, memory, id.\n";
            break;
    }
    text += "\nFilters, applied by the server (a zone, pod, cluster or host by name or id):\n";
    if (command == Command::Pods || command == Command::Clusters || command == Command::Hosts ||
        command == Command::Vms)
        text += "  --zone ZONE\n";
    if (command == Command::Clusters || command == Command::Hosts) text += "  --pod POD\n";
    if (command == Command::Hosts) text += "  --cluster CLUSTER\n";
    if (command == Command::Vms) text += "  --host HOST\n";
    if (command == Command::Projects || command == Command::Hosts || command == Command::Vms)
        text += "  --state STATE     such as Running, Stopped, Up, Active\n";
    if (command == Command::Zones) text += "  (none)\n";
    text += "\n";
    text += kOutputHelp;
    text += kCsvRawHelp;
    if (command == Command::Projects || command == Command::Vms)
        text += "  --all             every account's records, as an administrator may see them\n";
    return text + "\n";
}

}  // namespace

std::string ProgramHelp() {
    return std::string(
               "Usage: cloudstack-cli COMMAND [OPTIONS]\n"
               "\n"
               "Looks at a cloud through its management server, starts or stops virtual machines,\n"
               "and sends any other API command.\n"
               "\n"
               "Commands:\n"
               "  projects | zones | pods | clusters | hosts | vms [FILTERS] [--output FORMAT]\n"
               "                                 list the objects as a table, JSON or CSV\n"
               "  show cluster|host|vm --name NAME | --id ID [--output FORMAT]\n"
               "                                 print every field of one object\n"
               "  start --name NAME | --id ID    start a virtual machine and wait until it runs; several\n"
               "                                 --name and --id, or filters (--state, --zone, --host),\n"
               "                                 start many at once\n"
               "  stop --name NAME | --id ID     stop a virtual machine and wait until it is stopped; many\n"
               "                                 as start does\n"
               "  wait JOBID                     wait for a job the server already runs (the id that\n"
               "                                 --no-wait printed) and print its result\n"
               "  api COMMAND [NAME=VALUE ...]   send any API command and print the answer\n"
               "  api --batch FILE               send one command per line of FILE, side by side\n"
               "  VERB NOUN [NAME=VALUE ...]     the same, the command in two words:\n"
               "                                 'list virtualmachines' is 'api listVirtualMachines'\n"
               "  sync                           cache the server's own catalogue of its commands, for\n"
               "                                 'api COMMAND --help', checks and completion\n"
               "  completion bash|zsh            print a completion script for the shell\n"
               "\n"
               "Run 'cloudstack-cli COMMAND --help' for the options of one command, and\n"
               "'cloudstack-cli --version' for the version.\n"
               "\n") +
           kConnectionHelp + kServerTextHelp + kExitHelp;
}

std::string CommandHelp(Command command) {
    std::string text;
    switch (command) {
        case Command::None:
            return ProgramHelp();
        case Command::Projects:
        case Command::Zones:
        case Command::Pods:
        case Command::Clusters:
        case Command::Hosts:
        case Command::Vms:
            text = ListHelp(command);
            break;
        case Command::Show:
            text = std::string(
                       "Usage: cloudstack-cli show cluster|host|vm (--name NAME | --id ID) [--output FORMAT]\n"
                       "\n"
                       "Prints every field of one cluster, host or virtual machine, one 'Label: value' a line.\n"
                       "A name matches regardless of letter case; a name that several objects match is\n"
                       "refused (use --id then).\n"
                       "\n"
                       "  --name NAME       the object's name\n"
                       "  --id ID           the object's id\n"
                       "  --output FORMAT   table (default), json or csv\n") +
                   kCsvRawHelp + "  --all             look the machine up among every account's (show vm)\n\n";
            break;
        case Command::Start:
        case Command::Stop: {
            const std::string name = CommandName(command);
            const std::string doing = command == Command::Start ? "starting" : "stopping";
            text = "Usage: cloudstack-cli " + name + " (--name NAME | --id ID) [--no-wait | --poll S --timeout S]\n" +
                   "       cloudstack-cli " + name +
                   " (--name NAME | --id ID)... | FILTERS [--yes] [--concurrency N] [--output FORMAT]\n\n" +
                   (command == Command::Start ? "Starts" : "Stops") +
                   " a virtual machine and waits for the server's job to end.\n"
                   "\n"
                   "  --name NAME       the machine's name (letter case aside)\n"
                   "  --id ID           the machine's id\n"
                   "  --all             look the name up among every account's machines\n"
                   "  --no-wait         print the job id once the server accepted the command, and exit\n" +
                   kJobHelp +
                   "\n"
                   "Several machines at once: give --name and --id as often as needed, or select the\n"
                   "machines with the filters of vms:\n"
                   "  --state STATE     such as Running or Stopped\n"
                   "  --zone ZONE       a zone by name or id\n"
                   "  --host HOST       a host by name or id\n"
                   "  --all             every account's machines, as an administrator may see them\n"
                   "Every machine's command is sent (at most --concurrency machines in progress at once: the\n"
                   "next is sent when a job ends) and the jobs are waited for together. A name that matches\n"
                   "no machine stops the command before anything is sent. More than one machine is asked\n"
                   "about on the terminal; without one, --yes is needed.\n"
                   "  --yes             act on several machines without asking\n"
                   "  --concurrency N   machines in progress at once, 1 to 64 (default 4)\n"
                   "  --output FORMAT   table (default) or json: one line (object) per machine with its\n"
                   "                    name, id, result and the seconds until it was done\n"
                   "--timeout applies to each job, in whole seconds. On a terminal a status line counts\n"
                   "them (\"" +
                   doing +
                   " 37 machines: 12 done, 1 failed, 24 waiting, 00:41\"); Ctrl-C stops\n"
                   "waiting for all (the jobs go on) and exits 130. Exit status 1 when any machine failed.\n\n";
            break;
        }
        case Command::Wait:
            text =
                std::string(
                    "Usage: cloudstack-cli wait JOBID [--poll S] [--timeout S] [--output FORMAT] [--fields A,B,...]\n"
                    "\n"
                    "Waits for an async job the server already runs, such as one that 'start --no-wait',\n"
                    "'stop --no-wait' or 'api ... --no-wait' printed, and prints the job's result as 'api'\n"
                    "does. A failed job exits 1 with the server's reason.\n"
                    "\n"
                    "  --output FORMAT   json (default), table, csv or text; -o is the same\n"
                    "  --fields A,B,...  the attributes to show, by the server's names\n") +
                kJobHelp + "\n";
            break;
        case Command::Api:
            text = std::string(
                       "Usage: cloudstack-cli api COMMAND [NAME=VALUE ...] [--output FORMAT] [--fields A,B,...]\n"
                       "       cloudstack-cli VERB NOUN [NAME=VALUE ...] [OPTIONS]\n"
                       "\n"
                       "\n"
                       "Sends any API command with the parameters given (a value may hold blanks, '=' or\n"
                       "'&'; the name ends at the first '=') and prints the answer as JSON: indented on a\n"
                       "terminal, on one line otherwise. A command whose name starts with 'list' fetches\n"
                       "every page and prints one JSON array (or, for one whose answer holds no list,\n"
                       "such as listCapabilities, that answer); with page= and pagesize= it asks for that\n"
                       "one page only. A command that answers with a job id is waited for, and the job's\n"
                       "result is printed ('cloudstack-cli wait JOBID' waits for one later). VERB NOUN\n"
                       "names the command in two words, in any letter case: 'list virtualmachines' is\n"
                       "listVirtualMachines, 'start virtualmachine' is startVirtualMachine (the spelling\n"
                       "comes from the cached catalogue; without one, the noun is capitalised as typed).\n"
                       "\n"
                       "After 'cloudstack-cli sync', 'api COMMAND --help' describes the command and its\n"
                       "parameters as the server does, a command without a parameter it requires is\n"
                       "refused before anything is sent, and a parameter it does not have is warned about.\n"
                       "\n"
                       "Examples:\n"
                       "  cloudstack-cli api listVirtualMachines state=Running listall=true\n"
                       "  cloudstack-cli api listHosts type=Routing --output table --fields name,state,clustername\n"
                       "  cloudstack-cli api rebootVirtualMachine id=fcbea053-779e-4c4b-8c30-b22ece7c5b3d\n"
                       "  cloudstack-cli list virtualmachines state=Running filter=name,state -o table\n"
                       "  cloudstack-cli list virtualmachines --raw | jq '.virtualmachine[].name'\n"
                       "\n"
                       "  --output FORMAT   json (default), table, csv or text; a table without --fields shows\n"
                       "                    the name, a few common attributes and the id; -o is the same\n"
                       "  --fields A,B,...  the attributes to show, by the server's names; filter=A,B is the\n"
                       "                    same and is never sent to the server\n"
                       "  --raw             print the server's answer object as it came: byte for byte from\n"
                       "                    one request; a list of several pages merged, with 'count'\n"
                       "  --no-check        send the command without the cached catalogue's checks\n"
                       "  --batch FILE      send one command per line of FILE ('-': standard input), written\n"
                       "                    'COMMAND NAME=VALUE ...' (quoted as a shell quotes; blank lines and\n"
                       "                    lines that begin with # are skipped), side by side, at most\n"
                       "                    --concurrency N at once (1 to 64, default 4), each job waited for;\n"
                       "                    prints one JSON line per command, in the file's order: its line,\n"
                       "                    command, ok, result (as api prints one; a list gives the page the\n"
                       "                    server answered) or error (code and message), and the seconds until\n"
                       "                    it was done. The catalogue's checks apply to every line, and one\n"
                       "                    line they refuse stops the batch before anything is sent. Exit\n"
                       "                    status 1 when any command failed\n") +
                   kCsvRawHelp +
                   "  --no-wait         print the answer (which holds the job id) at once, without waiting\n" +
                   kJobHelp + "\n";
            break;
        case Command::Sync:
            text =
                "Usage: cloudstack-cli sync\n"
                "\n"
                "Asks the server for its catalogue of commands (listApis: each command's description\n"
                "and parameters, as your account may call them) and its version, and keeps them in\n"
                "$XDG_CACHE_HOME/cloudstack-cli (else ~/.cache/cloudstack-cli), one file per server and\n"
                "user. 'api COMMAND --help', the checks of api and the completion read it.\n"
                "\n";
            break;
        case Command::Completion:
        case Command::Complete:
            return "Usage: cloudstack-cli completion bash|zsh\n"
                   "\n"
                   "Prints a completion script: commands, options, and, from the catalogue that\n"
                   "'cloudstack-cli sync' cached, API commands and their parameters. For this shell only:\n"
                   "  source <(cloudstack-cli completion bash)\n"
                   "Installed, the scripts are in share/bash-completion/completions and\n"
                   "share/zsh/vendor-completions.\n";
    }
    return text + kConnectionHelp + kServerTextHelp + kExitHelp;
}

std::string VersionText() {
    return std::string("cloudstack-cli ") + CLOUDSTACK_CLI_VERSION + "\n";
}

}  // namespace cscli
