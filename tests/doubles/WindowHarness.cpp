#include "WindowHarness.h"

#include "ui/console/ConsoleTesting.h"

namespace {
const unsigned kRunBody = 0xBEEF;

class HarnessDlg : public CDialog {
  public:
    HarnessDlg(int templateId, const std::function<void(CDialog*)>& body)
        : CDialog(templateId), m_body(body) {}
    int OnInitDialog() override {
        PostCommand(kRunBody);
        return 1;
    }
    int OnCommand(WParam wParam, LParam lParam) override {
        if (CommandId(wParam) == kRunBody) {
            m_body(this);
            EndDialog(UI_IDOK);
        }
        return CDialog::OnCommand(wParam, lParam);
    }

  private:
    const std::function<void(CDialog*)>& m_body;
};
}  // namespace

void RunInWindow(int templateId, const std::function<void(CDialog* window)>& body) {
    ConsoleAttachUiThread();
    HarnessDlg window(templateId, body);
    window.DoModal();
    ConsoleDetachUiThread();
}

std::vector<std::string> ListItems(CDialog* window, int id) {
    return ConsoleListItems(window, id);
}

std::string ControlText(CDialog* window, int id) {
    return ConsoleControlText(window, id);
}
