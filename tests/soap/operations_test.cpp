// The five operations against the simulated device.
#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "IxoSoap.h"
#include "IxoSoapImpl.h"
#include "SoapTestSupport.h"

namespace {

const uint32_t kMemoryGroup = 0x4020;

std::string Between(const std::string& text, const std::string& open, const std::string& close)
{
    const size_t start = text.find(open);
    if (start == std::string::npos) {
        return "<missing " + open + ">";
    }
    const size_t end = text.find(close, start + open.size());
    if (end == std::string::npos) {
        return "<missing " + close + ">";
    }
    return text.substr(start + open.size(), end - start - open.size());
}

std::string ErrorCode(const std::string& response)
{
    return Between(response, "<errorcode xmlns=\"http://korvel.example/KvIxoWebService\">",
                   "</errorcode>");
}

class OperationTest : public SimulatedDeviceTest {
protected:
    void SetUp() override
    {
        SimulatedDeviceTest::SetUp();
        soap_ = std::make_unique<CIxoSoap>();
    }
    void TearDown() override
    {
        soap_.reset();
        SimulatedDeviceTest::TearDown();
    }
    // A gateway believes its port stays open: make a fresh one after a reset.
    void RenewGateway(const char* failOpen)
    {
        soap_.reset();
        SetDeviceEnv("KVIXO_SIM_FAIL_OPEN", failOpen);
        soap_ = std::make_unique<CIxoSoap>();
    }

    std::string Answer(const std::string& method)
    {
        std::string response = "previous content";
        soap_->SoapRequest(Envelope(method).c_str(), response);
        return response;
    }
    std::string Read(uint32_t group, uint32_t offset, uint32_t length,
                     const std::string& extra = "")
    {
        return Answer("<Read>" + extra + "<nPort>851</nPort><indexGroup>" +
                      std::to_string(group) + "</indexGroup><indexOffset>" +
                      std::to_string(offset) + "</indexOffset><cbLen>" + std::to_string(length) +
                      "</cbLen></Read>");
    }
    std::string Write(uint32_t group, uint32_t offset, const std::string& data,
                      const std::string& extra = "")
    {
        return Answer("<Write>" + extra + "<nPort>851</nPort><indexGroup>" +
                      std::to_string(group) + "</indexGroup><indexOffset>" +
                      std::to_string(offset) + "</indexOffset><pData>" + data +
                      "</pData></Write>");
    }
    static std::string PpData(const std::string& response)
    {
        return Between(response, "<ppData>", "</ppData>");
    }
    static bool IsWriteResponse(const std::string& response)
    {
        return response.find("<ns1:WriteResponse></ns1:WriteResponse>") != std::string::npos;
    }

    std::unique_ptr<CIxoSoap> soap_;
};

TEST_F(OperationTest, WriteThenReadReturnsTheSameBytes)
{
    struct Case {
        uint32_t offset;
        const char* data;
        uint32_t length;
    };
    const Case cases[] = {
        {0, "QUJD", 3},
        {10, "AAECAwQFBgcICQ==", 10},
        {100, "/w==", 1},
        {65534, "q80=", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data);
        EXPECT_TRUE(IsWriteResponse(Write(kMemoryGroup, c.offset, c.data)));
        EXPECT_EQ(PpData(Read(kMemoryGroup, c.offset, c.length)), c.data);
    }
}

TEST_F(OperationTest, ReadWithoutNetIdGoesToTheLocalNetId)
{
    EXPECT_TRUE(IsWriteResponse(
        Write(kMemoryGroup, 0, "QUJD", "<netId>10.20.30.40.1.1</netId>")));
    EXPECT_EQ(PpData(Read(kMemoryGroup, 0, 3)), "QUJD");
    EXPECT_EQ(PpData(Read(kMemoryGroup, 0, 3, "<netId>127.0.0.0.1.1</netId>")), "QUJD");
    // A routed net id is another device with its own memory.
    EXPECT_EQ(PpData(Read(kMemoryGroup, 0, 3, "<netId>10.20.30.41.1.1</netId>")), "AAAA");
    // An unknown net id is the device's failure, not the request's.
    EXPECT_EQ(ErrorCode(Read(kMemoryGroup, 0, 3, "<netId>5.1.2</netId>")), "7");
}

TEST_F(OperationTest, ShortReadIsEncodedToTheReportedBytes)
{
    EXPECT_TRUE(IsWriteResponse(Write(KVIXO_SIM_GROUP_HALF_READ, 0, "QUJDREVGR0g=")));
    EXPECT_EQ(PpData(Read(KVIXO_SIM_GROUP_HALF_READ, 0, 7)), "QUJD");
    EXPECT_EQ(PpData(Read(KVIXO_SIM_GROUP_HALF_READ, 0, 8)), "QUJDRA==");
    EXPECT_EQ(PpData(Read(KVIXO_SIM_GROUP_HALF_READ, 0, 1)), "");
    EXPECT_EQ(PpData(Read(kMemoryGroup, 0, 0)), "");
}

TEST_F(OperationTest, LibraryCodesBecomeServerFaults)
{
    struct Case {
        const char* name;
        std::string response;
        const char* code;
    };
    const Case cases[] = {
        {"injected read", Read(KVIXO_SIM_GROUP_FAIL_BASE + 1793, 0, 4), "1793"},
        {"injected write", Write(KVIXO_SIM_GROUP_FAIL_BASE + 0x745, 0, "QQ=="), "1861"},
        {"out of range", Read(kMemoryGroup, 65535, 2), "1795"},
        {"port 0",
         Answer("<Read><nPort>0</nPort><indexGroup>1</indexGroup><indexOffset>0</indexOffset>"
                "<cbLen>1</cbLen></Read>"),
         "6"},
        {"offline state", Answer("<ReadState><nPort>65535</nPort></ReadState>"), "1861"},
        {"offline control",
         Answer("<WriteControl><nPort>65535</nPort><ixoState>1</ixoState>"
                "<deviceState>1</deviceState></WriteControl>"),
         "1861"},
        {"offline read-write",
         Answer("<ReadWrite><nPort>65535</nPort><indexGroup>1</indexGroup><indexOffset>0"
                "</indexOffset><cbRdLen>1</cbRdLen></ReadWrite>"),
         "1861"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorCode(c.response), c.code);
        EXPECT_EQ(c.response.find("Response>"), std::string::npos);
        EXPECT_NE(c.response.find("<faultstring>An IXO Error has occurred.</faultstring>"),
                  std::string::npos);
    }
    // A failure leaves nothing behind: the next request is handled afresh.
    EXPECT_EQ(PpData(Read(kMemoryGroup, 0, 1)), "AA==");
}

TEST_F(OperationTest, PortIsOpenedOnceForManyRequests)
{
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 0u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(PpData(Read(kMemoryGroup, 0, 1)), "AA==");
    }
    EXPECT_NE(Answer("<ReadState><nPort>851</nPort></ReadState>").find("<pIxoState>5<"),
              std::string::npos);
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 1u);
}

TEST_F(OperationTest, FailedOpenAnswers1864AndIsRetried)
{
    RenewGateway("1");
    EXPECT_EQ(ErrorCode(Read(kMemoryGroup, 0, 1)), "1864");
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 1u);
    EXPECT_EQ(PpData(Read(kMemoryGroup, 0, 1)), "AA==");
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 2u);
    EXPECT_EQ(PpData(Read(kMemoryGroup, 0, 1)), "AA==");
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 2u);
}

TEST_F(OperationTest, EveryOperationNeedsThePort)
{
    RenewGateway("100");
    const std::string requests[] = {
        "<Read><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0</indexOffset>"
        "<cbLen>1</cbLen></Read>",
        "<Write><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0</indexOffset>"
        "</Write>",
        "<ReadWrite><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0</indexOffset>"
        "<cbRdLen>1</cbRdLen></ReadWrite>",
        "<ReadState><nPort>851</nPort></ReadState>",
        "<WriteControl><nPort>851</nPort><ixoState>1</ixoState><deviceState>1</deviceState>"
        "</WriteControl>",
    };
    uint32_t calls = 0;
    for (const std::string& request : requests) {
        SCOPED_TRACE(request);
        EXPECT_EQ(ErrorCode(Answer(request)), "1864");
        EXPECT_EQ(KvIxoSimPortOpenCalls(), ++calls);
    }
}

TEST_F(OperationTest, ReadStateDefaultsAndFollowsWriteControl)
{
    const std::string state = "<ReadState><nPort>851</nPort></ReadState>";
    auto stateFragment = [](const std::string& response) {
        return Between(response, "<ns1:ReadStateResponse>", "</ns1:ReadStateResponse>");
    };
    EXPECT_EQ(stateFragment(Answer(state)), "<pIxoState>5</pIxoState><pDeviceState>0</pDeviceState>");

    struct Case {
        const char* ixoState;
        const char* deviceState;
        const char* data;
        const char* fragment;
    };
    const Case cases[] = {
        {"6", "3", "", "<pIxoState>6</pIxoState><pDeviceState>3</pDeviceState>"},
        {"65535", "0x1234", "QUJD", "<pIxoState>65535</pIxoState><pDeviceState>4660</pDeviceState>"},
        {"65537", "70000", "", "<pIxoState>1</pIxoState><pDeviceState>4464</pDeviceState>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fragment);
        const std::string control = std::string("<WriteControl><nPort>851</nPort><ixoState>") +
                                    c.ixoState + "</ixoState><deviceState>" + c.deviceState +
                                    "</deviceState><pData>" + c.data + "</pData></WriteControl>";
        EXPECT_NE(Answer(control).find("<ns1:WriteControlResponse></ns1:WriteControlResponse>"),
                  std::string::npos);
        EXPECT_EQ(stateFragment(Answer(state)), c.fragment);
    }
}

TEST_F(OperationTest, ReadWriteWritesThenReads)
{
    const std::string response = Answer(
        "<ReadWrite><nPort>851</nPort><indexGroup>16416</indexGroup><indexOffset>2"
        "</indexOffset><cbRdLen>4</cbRdLen><pwrData>QUJD</pwrData></ReadWrite>");
    EXPECT_EQ(Between(response, "<ppRdData>", "</ppRdData>"), "QUJDAA==");
    EXPECT_EQ(PpData(Read(kMemoryGroup, 2, 3)), "QUJD");

    const std::string empty = Answer(
        "<ReadWrite><nPort>851</nPort><indexGroup>16416</indexGroup><indexOffset>2"
        "</indexOffset><cbRdLen>0</cbRdLen></ReadWrite>");
    EXPECT_NE(empty.find("<ns1:ReadWriteResponse><ppRdData></ppRdData></ns1:ReadWriteResponse>"),
              std::string::npos);
}

TEST_F(OperationTest, WriteWithoutDataWritesNothing)
{
    EXPECT_TRUE(IsWriteResponse(Write(kMemoryGroup, 0, "QUJD")));
    EXPECT_TRUE(IsWriteResponse(Answer(
        "<Write><nPort>851</nPort><indexGroup>16416</indexGroup><indexOffset>0</indexOffset>"
        "</Write>")));
    EXPECT_TRUE(IsWriteResponse(Write(kMemoryGroup, 0, "")));
    EXPECT_EQ(PpData(Read(kMemoryGroup, 0, 3)), "QUJD");
}

TEST_F(OperationTest, OperationsCalledDirectlyReturnCodes)
{
    CIxoSoapImpl impl;
    std::string response;
    EXPECT_EQ(impl.Service_Read("", 851, kMemoryGroup, 0, 2, response), 0);
    EXPECT_NE(response.find("<ppData>AAA=</ppData>"), std::string::npos);
    response.clear();
    EXPECT_EQ(impl.Service_Write("", 851, KVIXO_SIM_GROUP_FAIL_BASE + 42, 0, "QQ==", response), 42);
    EXPECT_EQ(response, "");
    EXPECT_EQ(impl.Service_WriteControl("", 851, 5, 0, nullptr, response), 0);
    EXPECT_EQ(impl.Service_ReadState("", 0, response), 6);
    EXPECT_EQ(impl.Service_ReadWrite("", 851, kMemoryGroup, 65535, 4, nullptr, response), 1795);
}

TEST_F(OperationTest, PortOpenAndClose)
{
    CIxoSoapImpl impl;
    EXPECT_EQ(impl.IxoSoapClose(), IXO_SOAP_NO_PORT);
    EXPECT_EQ(impl.IxoSoapOpen(), 30001);
    EXPECT_EQ(impl.IxoSoapOpen(), 30001);
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 1u);
    EXPECT_EQ(impl.IxoSoapClose(), 0);
    EXPECT_EQ(impl.IxoSoapClose(), IXO_SOAP_NO_PORT);
    // Closed by hand, the next use opens it again.
    std::string response;
    EXPECT_EQ(impl.Service_Read("", 851, kMemoryGroup, 0, 1, response), 0);
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 2u);
}

TEST_F(OperationTest, ReadNeverEncodesBeyondTheRequestedLength)
{
    // The library reporting more than was asked for must not read past the buffer.
    const unsigned char data[3] = {0x41, 0x42, 0x43};
    struct Case {
        uint32_t requested;
        uint32_t reported;
        const char* text;
    };
    const Case cases[] = {
        {3, 3, "QUJD"}, {3, 2, "QUI="}, {3, 0, ""}, {3, 4, "QUJD"}, {3, 0xFFFFFFFF, "QUJD"},
        {0, 5, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported);
        std::string response = "[";
        EXPECT_EQ(CIxoSoapImpl::AppendEncodedResponse(response, "<a>", "</a>", data, c.requested,
                                                      c.reported),
                  0);
        EXPECT_EQ(response, std::string("[<a>") + c.text + "</a>");
    }
}

}  // namespace
