#include "loss_summary.h"

namespace maintenance {

std::string CountOf(unsigned long long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string NameList(const std::vector<std::string>& names, size_t shown) {
  std::string out;
  const size_t listed = names.size() > shown ? shown : names.size();
  for (size_t i = 0; i < listed; ++i) {
    if (i != 0) out += i + 1 == listed && listed == names.size() ? " and " : ", ";
    out += names[i];
  }
  if (listed < names.size()) out += " and " + std::to_string(names.size() - listed) + " more";
  return out;
}

std::string TableInWords(const std::string& name) {
  static const struct {
    const char* name;
    const char* what;
  } kSystemTables[] = {
      {"MSysObjects", "the list of the database's tables, queries, forms and reports"},
      {"MSysRelationships", "the relationships between tables"},
      {"MSysQueries", "the definitions of the queries"},
      {"MSysACEs", "the permissions on the database's objects"},
      {"MSysAccessObjects", "the forms, reports, macros and modules"},
      {"MSysAccessStorage", "the forms, reports, macros and modules"},
      {"MSysModules", "the modules"},
      {"MSysModules2", "the modules"},
      {"MSysIMEXSpecs", "the saved import and export settings"},
      {"MSysIMEXColumns", "the saved import and export settings"},
      {"MSysNavPaneGroups", "the navigation pane's groups"},
      {"MSysNavPaneGroupCategories", "the navigation pane's groups"},
      {"MSysNavPaneGroupToObjects", "the navigation pane's groups"},
      {"MSysNavPaneObjectIDs", "the navigation pane's groups"},
      {"MSysCmdbars", "the custom toolbars and menus"},
      {"MSysResources", "the themes and images the database uses"},
  };
  for (const auto& t : kSystemTables) {
    if (name == t.name) return name + " (" + t.what + ")";
  }
  if (name.rfind("MSys", 0) == 0) return name + " (a table Access keeps for itself)";
  return name;
}

namespace {

std::vector<std::string> InWords(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  for (const std::string& n : names) out.push_back(TableInWords(n));
  return out;
}

}  // namespace

std::vector<SummaryLine> LossSummaryLines(const RepairOutcome& o) {
  std::vector<SummaryLine> lines;
  const bool only_altered = o.altered_rows != 0 && o.rows_lost == 0 && o.values_lost == 0 &&
                            o.pages_lost == 0 && o.tables_lost == 0 && o.tables_with_losses.empty();
  if (o.lost_anything && !only_altered) {
    std::string text = CountOf(o.rows_lost, "row", "rows") + " and " +
                       CountOf(o.values_lost, "value", "values") + " could not be carried over";
    if (o.rows_lost_estimated != 0) {
      text += " (" + std::to_string(o.rows_lost_estimated) +
              " of the rows estimated from the stored row counts)";
    }
    if (o.pages_lost != 0 || o.tables_lost != 0) {
      text += "; " + CountOf(o.pages_lost, "page", "pages") + " and " +
              CountOf(o.tables_lost, "table", "tables") + " could not be read";
    }
    if (!o.tables_with_losses.empty()) {
      text += o.tables_with_losses.size() == 1 ? ", in the table " : ", in the tables ";
      text += NameList(InWords(o.tables_with_losses));
    }
    lines.push_back({text + ".", {}});
  }
  if (!o.lost_tables.empty()) {
    lines.push_back({(o.lost_tables.size() == 1
                          ? "The table " + TableInWords(o.lost_tables[0]) +
                                " could not be read; none of its rows are in the copy."
                          : "The tables " + NameList(InWords(o.lost_tables), 20) +
                                " could not be read; none of their rows are in the copy."),
                     {}});
  }
  if (o.altered_rows != 0) {
    lines.push_back({CountOf(o.altered_rows, "row holds", "rows hold") +
                         " values the source's indexes contradict; kept as stored.",
                     {}});
  }
  if (!o.renamed_tables.empty()) {
    lines.push_back({(o.renamed_tables.size() == 1
                          ? std::string("A table found without its catalog row was named ")
                          : std::string("Tables found without their catalog row were named ")) +
                         NameList(o.renamed_tables, 20) + ".",
                     {}});
  }
  for (const std::string& note : o.header_notes) {
    lines.push_back({"Page 0: " + note + ".", {}});
  }
  if (!o.report.empty()) {
    lines.push_back({o.lost_anything ? "They are listed in the report:" : "The report:", o.report});
  }
  if (!o.kept_original.empty()) {
    lines.push_back({"The original, as it was before the repair, was kept as:", o.kept_original});
  }
  if (!o.error_table.empty()) {
    lines.push_back({"The copy lists them in its table " + o.error_table + ".", {}});
  } else if (o.lost_anything && !o.error_table_note.empty()) {
    lines.push_back({o.error_table_note, {}});
  }
  return lines;
}

}  // namespace maintenance
